// The base class of every head model.
#pragma once

class CommonLaser {
public:
    virtual ~CommonLaser() = default;
};
