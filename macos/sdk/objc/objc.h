// Declarations from <objc/objc.h> (objc4): BOOL and nil.
#pragma once

// arm64 Darwin: OBJC_BOOL_IS_BOOL, so BOOL is the C/C++ bool.
typedef bool BOOL;
#define YES __objc_yes
#define NO __objc_no

#if __has_feature(cxx_nullptr)
#define nil nullptr
#else
#define nil ((void*)0)
#endif
