// Nothing to compile: the texts live with their windows (see the header).
#include "dn_jezyk.h"
