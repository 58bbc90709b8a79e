// ScreenCaptureKit declarations used by the screen binding: shareable
// content and displays, the content filter, the stream configuration, the
// stream, and its output and delegate protocols.
#pragma once

#include <CoreMedia/CoreMedia.h>
#include <Foundation/Foundation.h>
#include <dispatch/dispatch.h>

#pragma clang assume_nonnull begin

// ---- <ScreenCaptureKit/SCShareableContent.h>
@interface SCDisplay : NSObject
@end
@interface SCWindow : NSObject
@end
@interface SCRunningApplication : NSObject
@end

@interface SCShareableContent : NSObject
+ (void)getShareableContentExcludingDesktopWindows:(BOOL)excludeDesktopWindows
                               onScreenWindowsOnly:(BOOL)onScreenWindowsOnly
                                 completionHandler:
                                     (void (^)(SCShareableContent* _Nullable shareableContent,
                                               NSError* _Nullable error))completionHandler;
@property(readonly) NSArray<SCDisplay*>* displays;
@end

// ---- <ScreenCaptureKit/SCStream.h>
// NS_ENUM(NSInteger, SCStreamOutputType), as the macro expands in C++.
typedef enum SCStreamOutputType : NSInteger SCStreamOutputType;
enum SCStreamOutputType : NSInteger {
    SCStreamOutputTypeScreen,
    SCStreamOutputTypeAudio,
    SCStreamOutputTypeMicrophone,  // macOS 15.0
};

@interface SCContentFilter : NSObject
- (instancetype)initWithDisplay:(SCDisplay*)display
          excludingApplications:(NSArray<SCRunningApplication*>*)applications
               exceptingWindows:(NSArray<SCWindow*>*)exceptingWindows;
@end

@interface SCStreamConfiguration : NSObject
@property(assign) size_t width;
@property(assign) size_t height;
@property(assign) CMTime minimumFrameInterval;
@property(assign) OSType pixelFormat;
@property(assign) BOOL showsCursor;
@property(assign) NSInteger queueDepth;
@property(assign) BOOL capturesAudio;  // macOS 13.0
@end

@class SCStream;

@protocol SCStreamOutput <NSObject>
@optional
- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type;
@end

@protocol SCStreamDelegate <NSObject>
@optional
- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error;
@end

@interface SCStream : NSObject
- (instancetype)initWithFilter:(SCContentFilter*)contentFilter
                 configuration:(SCStreamConfiguration*)streamConfig
                      delegate:(nullable id<SCStreamDelegate>)delegate;
- (BOOL)addStreamOutput:(id<SCStreamOutput>)output
                   type:(SCStreamOutputType)type
     sampleHandlerQueue:(nullable dispatch_queue_t)sampleHandlerQueue
                  error:(NSError* _Nullable* _Nullable)error;
- (void)startCaptureWithCompletionHandler:
    (nullable void (^)(NSError* _Nullable error))completionHandler;
- (void)stopCaptureWithCompletionHandler:
    (nullable void (^)(NSError* _Nullable error))completionHandler;
@end

#pragma clang assume_nonnull end
