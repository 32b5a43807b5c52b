// The transport that every register access of the current call goes to. Set under the library's
// lock by the export that lets a head work, never reset.
#pragma once

#include <cstdint>

inline constexpr int32_t kNoTransport = 0;
inline constexpr int32_t kAdapterTransport = 2;
inline constexpr int32_t kBridgeTransport = 5;

void SelectTransport(int32_t transport);
int32_t ActiveTransport();
