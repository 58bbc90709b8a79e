// Foundation declarations used by the bindings: the root class, strings,
// arrays, numbers, UUIDs and errors.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <objc/objc.h>

#pragma clang assume_nonnull begin

// ---- <Foundation/NSObjCRuntime.h>
typedef long NSInteger;
typedef unsigned long NSUInteger;
typedef NSUInteger NSStringEncoding;  // <Foundation/NSString.h>

// ---- <objc/NSObject.h>
@protocol NSObject
@end

__attribute__((objc_root_class))
@interface NSObject <NSObject> {
    Class isa;
}
+ (instancetype)alloc;
- (instancetype)init;
@end

// ---- <Foundation/NSString.h>
@interface NSString : NSObject
+ (instancetype)string;
+ (nullable instancetype)stringWithUTF8String:(const char*)nullTerminatedCString;
@property(nullable, readonly) const char* UTF8String;
@end

// ---- <Foundation/NSArray.h>
@interface NSArray<__covariant ObjectType> : NSObject
+ (instancetype)array;
@property(readonly) NSUInteger count;
- (ObjectType)objectAtIndex:(NSUInteger)index;
@end

@interface NSMutableArray<ObjectType> : NSArray<ObjectType>
+ (instancetype)arrayWithCapacity:(NSUInteger)numItems;
- (void)addObject:(ObjectType)anObject;
@end

// ---- <Foundation/NSValue.h>
@interface NSNumber : NSObject
+ (NSNumber*)numberWithUnsignedInt:(unsigned int)value;
@end

// ---- <Foundation/NSUUID.h>
@interface NSUUID : NSObject
+ (instancetype)UUID;
- (nullable instancetype)initWithUUIDString:(NSString*)string;
@property(readonly, copy) NSString* UUIDString;
@end

// ---- <Foundation/NSError.h>
@interface NSError : NSObject
@property(readonly, copy) NSString* localizedDescription;
@end

#pragma clang assume_nonnull end
