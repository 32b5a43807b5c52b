// The simulated head behind handle -1.
#pragma once

#include <memory>

#include "heads/common_laser.h"

std::unique_ptr<CommonLaser> CreateSimulatedHead();
