#pragma once
// The Windows API without the min and max macros (they break std::min and
// std::numeric_limits<T>::max) and without the rarely used parts of it.
// Every Windows source of the tree includes <windows.h> through here.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
