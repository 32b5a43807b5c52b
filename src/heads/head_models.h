// The head models a supply can carry, each constructed on the device's transport link. The
// constructors read the head's memory, so each may raise the transport's failure messages.
#pragma once

#include <memory>

#include "heads/common_laser.h"

std::unique_ptr<CommonLaser> CreateKora(TransportLink link);
std::unique_ptr<CommonLaser> CreateP532(TransportLink link);
std::unique_ptr<CommonLaser> CreatePicoX(TransportLink link);
std::unique_ptr<CommonLaser> CreatePico00(TransportLink link);
std::unique_ptr<CommonLaser> CreateVfk(TransportLink link);
std::unique_ptr<CommonLaser> CreateVfn(TransportLink link);
