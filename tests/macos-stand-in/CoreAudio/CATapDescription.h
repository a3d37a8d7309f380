// Stand-in: CATapDescription as the adapter uses it. Declarations only.
#pragma once

#include <Foundation/Foundation.h>

#pragma clang assume_nonnull begin

typedef NS_ENUM(NSInteger, CATapMuteBehavior) {
  CATapUnmuted = 0,
  CATapMuted = 1,
  CATapMutedWhenTapped = 2,
};

@interface CATapDescription : NSObject
- (instancetype)initStereoMixdownOfProcesses:(NSArray<NSNumber*>*)processesObjectIDsToIncludeInTap;
- (instancetype)initStereoGlobalTapButExcludeProcesses:
    (NSArray<NSNumber*>*)processesObjectIDsToExcludeFromTap;
@property(atomic, copy) NSUUID* UUID;
@property(atomic, getter=isPrivate, setter=setPrivate:) BOOL privateTap;
@property(atomic, getter=isMuted) CATapMuteBehavior muteBehavior;
@end

#pragma clang assume_nonnull end
