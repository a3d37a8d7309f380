// Stand-in: NSWorkspace and NSRunningApplication as the adapter uses them. Declarations only.
#pragma once

#include <sys/types.h>

#include <Foundation/Foundation.h>

#pragma clang assume_nonnull begin

@interface NSRunningApplication : NSObject
@property(readonly) pid_t processIdentifier;
@property(nullable, readonly, copy) NSString* localizedName;
@property(nullable, readonly, copy) NSString* bundleIdentifier;
@end

@interface NSWorkspace : NSObject
@property(class, readonly, strong) NSWorkspace* sharedWorkspace;
@property(readonly, copy) NSArray<NSRunningApplication*>* runningApplications;
@end

#pragma clang assume_nonnull end
