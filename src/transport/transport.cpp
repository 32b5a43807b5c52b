#include "transport/transport.h"

namespace {

template <class... Cases>
struct Overloaded : Cases... {
    using Cases::operator()...;
};
// Spelled out for compilers without deduction for aggregates (clang 14, the fuzz build's).
template <class... Cases>
Overloaded(Cases...) -> Overloaded<Cases...>;

}  // namespace

uint32_t TransportRead(const Transport &transport, uint8_t address, uint16_t command,
                       uint8_t commandNumberOfBytes, uint8_t dataNumberOfBytes, bool alternative) {
    return std::visit(
        Overloaded{
            [](const NullTransport &) { return uint32_t{0}; },
            [&](const AdapterTransport &adapter) {
                return I2cAdapter::Read(*adapter.adapter, address, command, commandNumberOfBytes,
                                        dataNumberOfBytes, alternative);
            },
            [&](const NXP::Bridge &bridge) {
                return NXP::Read(bridge, address, command, commandNumberOfBytes,
                                 dataNumberOfBytes, alternative);
            },
        },
        transport);
}

void TransportWrite(const Transport &transport, uint8_t address, uint16_t command,
                    uint8_t commandNumberOfBytes, uint32_t data, uint8_t dataNumberOfBytes) {
    std::visit(Overloaded{
                   [](const NullTransport &) {},
                   [&](const AdapterTransport &adapter) {
                       I2cAdapter::Write(*adapter.adapter, address, command, commandNumberOfBytes,
                                         data, dataNumberOfBytes);
                   },
                   [&](const NXP::Bridge &bridge) {
                       NXP::Write(bridge, address, command, commandNumberOfBytes, data,
                                  dataNumberOfBytes);
                   },
               },
               transport);
}
