// The Windows API as every *_win32.cpp file of the platform includes it: the lean headers, and
// no min and max macros in the way of std::min and std::max.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
