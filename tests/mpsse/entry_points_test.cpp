// The adapter library's entry points, loaded as a host loads them: its test build over the MPSSE
// engine model, and (when an FTDI chip is attached) the build for users over real USB.
#include <string>
#include <vector>

#include "model_library.h"

namespace {

// The constants the library passes with every transfer.
constexpr int32_t kAck = 1;
constexpr uint32_t kAckTimeoutMs = 20;
constexpr uint32_t kBlockRead = 2;
constexpr uint32_t kSingleByteWrite = 1;

class ModelEntryPoints : public ModelTest {
protected:
    void SetUp() override {
        ModelTest::SetUp();
        adapter = Controls().PlugSupply("kora-band2");
    }

    // Enumerates, opens the first engine by description and location, and initialises it.
    AdapterHandle OpenFirst() {
        const AdapterLibrary &lib = Model();
        uint32_t count = 0, location = 0;
        char name[100] = {};
        EXPECT_EQ(lib.I2C_GetNumDevices(&count), 0u);
        EXPECT_EQ(lib.I2C_GetDeviceNameLocID(0, name, sizeof name, &location), 0u);
        AdapterHandle handle = 0;
        EXPECT_EQ(lib.I2C_OpenEx(name, location, &handle), 0u);
        EXPECT_EQ(lib.I2C_InitDevice(handle, 599), 0u);
        EXPECT_EQ(lib.I2C_SetMode(handle, 1), 0u);
        return handle;
    }

    uint32_t ReadCounter(AdapterHandle handle, uint8_t *data) {
        uint8_t control[256] = {0xD6, 0x05};
        return Model().I2C_Read(handle, control, 2, kAck, kAckTimeoutMs, kBlockRead, data, 4);
    }

    uint32_t adapter = 0;
};

TEST_F(ModelEntryPoints, NamingOpeningVersionAndClock) {
    const AdapterLibrary &lib = Model();
    char name[100] = {}, serial[100] = {}, again[100] = {};
    uint32_t location = 0, locationAgain = 0;
    ASSERT_EQ(lib.I2C_GetDeviceNameLocID(0, name, sizeof name, &location), 0u);
    ASSERT_EQ(lib.I2C_GetDeviceNameSerialNumber(0, again, sizeof again, serial), 0u);
    ASSERT_EQ(lib.I2C_GetDeviceNameLocID(0, again, sizeof again, &locationAgain), 0u);
    EXPECT_STREQ(name, "ZARP Power Supply A");
    EXPECT_STREQ(serial, "ZV1001");
    EXPECT_NE(location, 0u);
    EXPECT_EQ(location, locationAgain);
    AdapterHandle handle = 0, second = 0;
    ASSERT_EQ(lib.I2C_OpenExSerialNumber(name, serial, &handle), 0u);
    EXPECT_NE(lib.I2C_OpenEx(name, location, &second), 0u);  // open already
    uint8_t counter[4];
    EXPECT_NE(ReadCounter(handle, counter), 0u);  // not initialised
    EXPECT_EQ(lib.I2C_Close(handle), 0u);

    char version[100];
    ASSERT_EQ(lib.I2C_GetDllVersion(version, sizeof version), 0u);
    EXPECT_EQ(std::string(version), "MPSSE 1.0.0 over an MPSSE engine model");
    char cut[8];
    ASSERT_EQ(lib.I2C_GetDllVersion(cut, sizeof cut), 0u);
    EXPECT_STREQ(cut, "MPSSE 1");

    uint32_t frequency = 0;
    ASSERT_EQ(lib.I2C_GetClock(599, &frequency), 0u);
    EXPECT_EQ(frequency, 6666u);
    handle = OpenFirst();
    uint32_t set = 0;
    ASSERT_EQ(lib.I2C_SetClock(handle, 599, &set), 0u);
    EXPECT_EQ(set, frequency);
    EXPECT_NE(lib.I2C_SetMode(handle, 2), 0u);
    char text[100];
    ASSERT_EQ(lib.I2C_GetErrorCodeString(nullptr, 9, text, sizeof text), 0u);
    EXPECT_STREQ(text, "I2C: the address was not acknowledged");
    EXPECT_EQ(lib.I2C_Close(handle), 0u);
}

TEST_F(ModelEntryPoints, BadHandlesBuffersAndCountsAreRefused) {
    const AdapterLibrary &lib = Model();
    const AdapterHandle handle = OpenFirst();
    std::vector<uint8_t> control(256, 0), data(65537, 0);
    control[0] = 0xA4;
    PageWriteRecord page{1, 32};
    const auto write = [&](AdapterHandle h, uint8_t *c, uint32_t cn, uint8_t *d, uint32_t dn,
                           uint32_t type, PageWriteRecord *p) {
        return lib.I2C_Write(h, c, cn, kAck, kAckTimeoutMs, 1, type, d, dn, kAck, kAckTimeoutMs,
                             p);
    };
    const auto read = [&](AdapterHandle h, uint8_t *c, uint32_t cn, uint8_t *d, uint32_t dn) {
        return lib.I2C_Read(h, c, cn, kAck, kAckTimeoutMs, kBlockRead, d, dn);
    };
    EXPECT_NE(write(0x1234, control.data(), 3, data.data(), 1, kSingleByteWrite, &page), 0u);
    EXPECT_NE(write(handle, nullptr, 3, data.data(), 1, kSingleByteWrite, &page), 0u);
    EXPECT_NE(write(handle, control.data(), 3, nullptr, 1, kSingleByteWrite, &page), 0u);
    EXPECT_NE(write(handle, control.data(), 257, data.data(), 1, kSingleByteWrite, &page), 0u);
    EXPECT_NE(write(handle, control.data(), 3, data.data(), 2, kSingleByteWrite, &page), 0u);
    EXPECT_NE(write(handle, control.data(), 3, data.data(), 65537, 2, &page), 0u);
    EXPECT_NE(write(handle, control.data(), 3, data.data(), 64, 2, &page), 0u);  // 1 x 32
    EXPECT_NE(write(handle, control.data(), 3, data.data(), 64, 2, nullptr), 0u);
    EXPECT_NE(read(handle, control.data(), 3, nullptr, 1), 0u);
    EXPECT_NE(read(handle, control.data(), 3, data.data(), 65537), 0u);
    EXPECT_NE(read(handle, control.data(), 0, data.data(), 1), 0u);
    EXPECT_NE(lib.I2C_GetNumDevices(nullptr), 0u);
    EXPECT_NE(lib.I2C_GetDllVersion(nullptr, 100), 0u);
    EXPECT_NE(lib.I2C_OpenEx(nullptr, 1, nullptr), 0u);
    EXPECT_NE(lib.I2C_InitDevice(handle, 0x10000), 0u);

    // Two pages of 32 bytes land at their offsets of the head memory.
    ASSERT_EQ(lib.I2C_InitDevice(handle, 599), 0u);
    for (size_t i = 0; i < 64; ++i) data[i] = static_cast<uint8_t>(i + 1);
    control[1] = 0x00;
    control[2] = 0x40;
    page = {2, 32};
    ASSERT_EQ(write(handle, control.data(), 3, data.data(), 64, 2, &page), 0u);
    std::vector<uint8_t> back(64);
    ASSERT_EQ(read(handle, control.data(), 3, back.data(), 64), 0u);
    EXPECT_EQ(back, std::vector<uint8_t>(data.begin(), data.begin() + 64));

    EXPECT_EQ(lib.I2C_Close(handle), 0u);
    EXPECT_NE(lib.I2C_Close(handle), 0u);
    EXPECT_NE(read(handle, control.data(), 3, data.data(), 1), 0u);
}

TEST_F(ModelEntryPoints, UnpluggedMidTransferFailsUntilOpenedAnew) {
    const AdapterLibrary &lib = Model();
    AdapterHandle handle = OpenFirst();
    uint8_t counter[4] = {};
    ASSERT_EQ(ReadCounter(handle, counter), 0u);
    // Pulled out at the third command write of the read: in the middle of the address byte.
    ASSERT_EQ(Controls().UnplugAfterSends(adapter, 2), 0);
    EXPECT_NE(ReadCounter(handle, counter), 0u);
    EXPECT_NE(ReadCounter(handle, counter), 0u);
    uint32_t count = 7;
    ASSERT_EQ(lib.I2C_GetNumDevices(&count), 0u);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(lib.I2C_Close(handle), 0u);

    ASSERT_EQ(Controls().SetPlugged(adapter, 1), 0);
    handle = OpenFirst();
    EXPECT_EQ(ReadCounter(handle, counter), 0u);
    EXPECT_EQ(lib.I2C_Close(handle), 0u);
}

// Runs only where an FTDI chip with an MPSSE engine is attached; no I2C device is assumed on it.
TEST(UsbEntryPoints, AnAttachedChipOpensAndInitialises) {
#if defined(MPSSE_USB_ADAPTER_PATH)
    const AdapterLibrary lib(MPSSE_USB_ADAPTER_PATH);
    ASSERT_NE(lib.module, nullptr) << dlerror();
    char version[100];
    ASSERT_EQ(lib.I2C_GetDllVersion(version, sizeof version), 0u);
    EXPECT_NE(std::string(version).find("over libftdi"), std::string::npos) << version;
    uint32_t count = 0;
    const uint32_t counted = lib.I2C_GetNumDevices(&count);
    if (counted != 0 || count == 0) {
        GTEST_SKIP() << "no FTDI MPSSE chip attached (status " << counted
                     << "): the real-USB test is skipped";
    }
    char name[100] = {};
    uint32_t location = 0;
    const uint32_t named = lib.I2C_GetDeviceNameLocID(0, name, sizeof name, &location);
    if (named != 0) {
        char text[200];
        lib.I2C_GetErrorCodeString(nullptr, named, text, sizeof text);
        GTEST_SKIP() << "an FTDI chip is attached but not usable here: " << text;
    }
    AdapterHandle handle = 0;
    ASSERT_EQ(lib.I2C_OpenEx(name, location, &handle), 0u) << name;
    EXPECT_EQ(lib.I2C_InitDevice(handle, 599), 0u);
    EXPECT_EQ(lib.I2C_SetMode(handle, 1), 0u);
    EXPECT_EQ(lib.I2C_Close(handle), 0u);
#else
    GTEST_SKIP() << "the adapter library over libftdi is not built here";
#endif
}

}  // namespace
