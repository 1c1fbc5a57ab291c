// Whether this build takes the engine's shortcuts: caches of what a lookup would find (global
// names, class members, instance attributes, methods), direct construction of records, and
// reads of the interpreter's private layouts. A build configured with
// -DVELMORA_FAST_PATHS=OFF defines VELMORA_NO_FAST_PATHS and takes the general path
// everywhere; the differential test requires it to behave exactly as the normal build.
#pragma once

namespace velmora {

#ifdef VELMORA_NO_FAST_PATHS
inline constexpr bool kFastPaths = false;
#else
inline constexpr bool kFastPaths = true;
#endif

}  // namespace velmora
