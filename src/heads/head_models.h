// The head models a supply can carry, each constructed on the device's transport. The
// constructors read the head's memory, so each may raise the transport's failure messages.
#pragma once

#include <memory>

#include "heads/common_laser.h"

std::unique_ptr<CommonLaser> CreateKora(const Transport &transport);
std::unique_ptr<CommonLaser> CreateP532(const Transport &transport);
std::unique_ptr<CommonLaser> CreatePicoX(const Transport &transport);
std::unique_ptr<CommonLaser> CreatePico00(const Transport &transport);
std::unique_ptr<CommonLaser> CreateVfk(const Transport &transport);
std::unique_ptr<CommonLaser> CreateVfn(const Transport &transport);
