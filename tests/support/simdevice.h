// A simulated device with fixed readings instead of the slow curve, so that
// a test knows what the digits, records and frames must show.
#pragma once

#include "fenwire_sim.h"

inline fwsim::Config fixedReadings(int temperature, int humidity,
                                   fwsim::DeviceKind kind = fwsim::DeviceKind::FWTH01)
{
    fwsim::Config c;
    c.kind = kind;
    c.curve = false;
    c.temperature = temperature;
    c.humidity = humidity;
    return c;
}
