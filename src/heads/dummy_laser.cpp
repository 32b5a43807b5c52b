#include "heads/dummy_laser.h"

std::unique_ptr<CommonLaser> CreateSimulatedHead() { return nullptr; }
