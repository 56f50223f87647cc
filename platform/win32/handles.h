// Conversions between the platform layer's handle types and the Windows ones. Window handles
// are 32 bits wide in the layer, as the design keeps them; Windows guarantees that a window
// handle keeps its meaning when cut to 32 bits and sign-extended back.
#pragma once

#include "platform/window.h"

#include <windows.h>

#include <cstdint>

namespace platform::win32 {

inline HWND toHwnd(WindowHandle w) {
    return reinterpret_cast<HWND>(static_cast<intptr_t>(static_cast<int32_t>(w)));
}

inline WindowHandle fromHwnd(HWND h) {
    return static_cast<WindowHandle>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h)));
}

inline HANDLE toHandle(intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

inline intptr_t fromHandle(HANDLE h) {
    return reinterpret_cast<intptr_t>(h);
}

} // namespace platform::win32
