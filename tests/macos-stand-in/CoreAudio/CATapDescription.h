// Stand-in: CATapDescription as the adapter uses it. Declarations only.
#pragma once

#include <Availability.h>
#include <Foundation/Foundation.h>

#pragma clang assume_nonnull begin

typedef NS_ENUM(NSInteger, CATapMuteBehavior) {
  CATapUnmuted = 0,
  CATapMuted = 1,
  CATapMutedWhenTapped = 2,
} API_AVAILABLE(macos(13.0), ios(16.0));

API_AVAILABLE(macos(12.0), ios(15.0))
@interface CATapDescription : NSObject
- (instancetype)initStereoMixdownOfProcesses:(NSArray<NSNumber*>*)processesObjectIDsToIncludeInTap;
- (instancetype)initStereoGlobalTapButExcludeProcesses:
    (NSArray<NSNumber*>*)processesObjectIDsToExcludeFromTap;
@property(atomic, copy) NSUUID* UUID;
@property(atomic, getter=isPrivate, setter=setPrivate:) BOOL privateTap;
@property(atomic, getter=isMuted) CATapMuteBehavior muteBehavior;
@end

#pragma clang assume_nonnull end
