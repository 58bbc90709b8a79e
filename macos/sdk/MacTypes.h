// Declarations from <MacTypes.h> (the CarbonCore/MacTypes types every
// framework below builds on), LP64 Darwin widths.
#pragma once

typedef unsigned char UInt8;
typedef unsigned int UInt32;
typedef signed int SInt32;
typedef double Float64;
typedef unsigned char Boolean;

typedef SInt32 OSStatus;
typedef UInt32 FourCharCode;
typedef FourCharCode OSType;
