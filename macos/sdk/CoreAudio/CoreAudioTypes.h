// Declarations from <CoreAudioTypes/CoreAudioBaseTypes.h>, which
// <CoreAudio/CoreAudioTypes.h> re-exports: the buffers an IO proc receives.
#pragma once

#include <MacTypes.h>

#pragma clang assume_nonnull begin

// Only passed through by the bindings; its layout is not needed here.
typedef struct AudioTimeStamp AudioTimeStamp;

struct AudioBuffer {
    UInt32 mNumberChannels;
    UInt32 mDataByteSize;
    void* _Nullable mData;
};
typedef struct AudioBuffer AudioBuffer;

struct AudioBufferList {
    UInt32 mNumberBuffers;
    AudioBuffer mBuffers[1];  // variable length
};
typedef struct AudioBufferList AudioBufferList;

enum { kAudio_ParamError = -50 };

#pragma clang assume_nonnull end
