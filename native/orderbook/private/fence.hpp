// The fence around this folder: what is here reads structures CPython keeps to itself, calls
// its private functions or relies on API it may change in any minor release, so it builds for
// CPython 3.12 only; and the one switch that compiles every shortcut out. Included by every
// file in this folder and by no file outside it.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x030D0000
#error "native/orderbook/private/ reads CPython 3.12's private layouts: build against CPython 3.12"
#endif

namespace velmora {

// A build configured with -DVELMORA_FAST_PATHS=OFF defines VELMORA_NO_FAST_PATHS: every answer
// of this folder's interface is then "no shortcut", and the engine takes the general path
// everywhere. The differential test requires it to behave exactly as the normal build.
#ifdef VELMORA_NO_FAST_PATHS
inline constexpr bool kFastPaths = false;
#else
inline constexpr bool kFastPaths = true;
#endif

}  // namespace velmora
