// Declarations from <CoreAudio/CATapDescription.h> (macOS 14.2+): the
// description of a process tap.
#pragma once

#include <Foundation/Foundation.h>

#pragma clang assume_nonnull begin

// NS_ENUM(NSInteger, CATapMuteBehavior), as the macro expands in C++.
typedef enum CATapMuteBehavior : NSInteger CATapMuteBehavior;
enum CATapMuteBehavior : NSInteger {
    CATapUnmuted = 0,
    CATapMuted = 1,
    CATapMutedWhenTapped = 2,
};

@interface CATapDescription : NSObject
- (instancetype)initStereoGlobalTapButExcludeProcesses:
    (NSArray<NSNumber*>*)processesObjectIDsToExcludeFromTap;
@property(atomic, copy) NSString* name;
@property(atomic, copy) NSUUID* UUID;
@property(atomic, getter=isPrivate) BOOL privateTap;
@property(atomic) CATapMuteBehavior muteBehavior;
@end

#pragma clang assume_nonnull end
