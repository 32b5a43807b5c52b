#include "bus/bit_level_i2c.h"

namespace sim {

void BitLevelI2c::Drive(bool dataHigh, bool clockHigh) {
    DriveLines(dataHigh, clockHigh);
    ReportLines();
}

void BitLevelI2c::DriveLines(bool dataHigh, bool clockHigh) {
    if (clock_ && clockHigh) {
        const bool before = DataLevel();
        masterData_ = dataHigh;
        const bool after = DataLevel();
        if (before && !after) OnStart();
        if (!before && after) OnStop();
        return;
    }
    if (!clock_ && clockHigh) {
        masterData_ = dataHigh;
        clock_ = true;
        OnClockRise();
        return;
    }
    if (clock_ && !clockHigh) {
        clock_ = false;
        OnClockFall();
    }
    masterData_ = dataHigh;
}

bool BitLevelI2c::LookAtData() {
    // A look in the first bit of an undecided byte, with the master's line released, turns it
    // into a byte the device sends.
    if (phase_ == Phase::kByte && role_ == ByteRole::kUndecided && bit_ == 0 && clock_ &&
        masterData_) {
        role_ = ByteRole::kDeviceSends;
        Engage(DeviceMode::kReading);
        sending_ = device_->ReadByte();
        DriveSentBit();
        ReportLines(true);
    }
    return DataLevel();
}

void BitLevelI2c::OnStart() {
    // A repeated start ends the device's transaction: the models see Stop, then a new Start.
    ReleaseDevice();
    ReportTransaction();
    phase_ = Phase::kAddress;
    clockedSinceStart_ = false;
    bit_ = 0;
    shift_ = 0;
    role_ = ByteRole::kMasterWrites;
}

void BitLevelI2c::OnStop() {
    ReleaseDevice();
    ReportTransaction();
    phase_ = Phase::kIdle;
}

void BitLevelI2c::OnClockRise() {
    if (phase_ == Phase::kIdle) return;
    clockedSinceStart_ = true;
    if (phase_ == Phase::kAcknowledge) {
        masterAcknowledged_ = !DataLevel();
    } else if (role_ != ByteRole::kDeviceSends) {
        shift_ = static_cast<uint8_t>((shift_ << 1) | (DataLevel() ? 1 : 0));
    }
}

void BitLevelI2c::OnClockFall() {
    if (stuckFallingEdges_ > 0) --stuckFallingEdges_;
    // The fall that follows a start ends no bit.
    if (!clockedSinceStart_) return;
    switch (phase_) {
        case Phase::kIdle:
            return;
        case Phase::kAddress:
        case Phase::kByte:
            if (++bit_ == 8) {
                EndOfByte();
            } else if (role_ == ByteRole::kDeviceSends) {
                DriveSentBit();
            }
            return;
        case Phase::kAcknowledge:
            deviceLow_ = false;
            if (role_ == ByteRole::kDeviceSends && !masterAcknowledged_) {
                // The master wants no more; the device waits for the stop.
                phase_ = Phase::kIdle;
                return;
            }
            BeginByte(addressedForReading_ ? ByteRole::kUndecided : ByteRole::kMasterWrites);
            return;
    }
}

void BitLevelI2c::EndOfByte() {
    const bool address = phase_ == Phase::kAddress;
    phase_ = Phase::kAcknowledge;
    if (address) {
        device_ = bus_.Find(shift_);
        addressedForReading_ = (shift_ & 1) != 0;
        seen_.emplace();
        seen_->address = static_cast<uint8_t>(shift_ & 0xFE);
        seen_->reads = addressedForReading_;
        seen_->acknowledged = device_ != nullptr;
        seen_->bitLevel = true;
        if (device_ == nullptr) {
            // Nobody answers to the address: the line stays released until the next start.
            phase_ = Phase::kIdle;
            return;
        }
        deviceLow_ = true;
        if (!addressedForReading_) Engage(DeviceMode::kWriting);
        return;
    }
    if (role_ == ByteRole::kDeviceSends) {
        deviceLow_ = false;  // the master acknowledges
        seen_->read.push_back(sending_);
        return;
    }
    // A byte the master clocked out: after a reading address it selects the register.
    Engage(DeviceMode::kWriting);
    deviceLow_ = device_->WriteByte(shift_);
    seen_->written.push_back(shift_);
    seen_->acknowledged = deviceLow_;
}

void BitLevelI2c::BeginByte(ByteRole role) {
    phase_ = Phase::kByte;
    bit_ = 0;
    shift_ = 0;
    role_ = role;
}

void BitLevelI2c::Engage(DeviceMode mode) {
    if (mode_ == mode) return;
    device_->Start(mode == DeviceMode::kReading);
    mode_ = mode;
}

void BitLevelI2c::ReportTransaction() {
    if (seen_) bus_.Report(*seen_);
    seen_.reset();
}

void BitLevelI2c::ReleaseDevice() {
    if (device_ != nullptr && mode_ != DeviceMode::kNone) device_->Stop();
    device_ = nullptr;
    mode_ = DeviceMode::kNone;
    deviceLow_ = false;
}

}  // namespace sim
