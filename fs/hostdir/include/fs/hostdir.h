// Same as hostdir/hostdir.h.
#pragma once

#include "hostdir/hostdir.h"
