// The service commands of rh_poll: what the service window does, for
// technicians who script their work.
#pragma once

#include <QtCore/QString>
#include <QtCore/QStringList>

// Runs "rh_poll COMMAND ..." (args without the command word); returns the
// exit status.
int runServiceCommand(const QString &command, const QStringList &args);
