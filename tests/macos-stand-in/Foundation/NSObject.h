// Stand-in: the Objective-C root class and the basic Foundation types (objc.h, NSObjCRuntime.h,
// NSObject.h). Declarations only.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

// arm64 macOS spells BOOL as bool.
typedef bool BOOL;
#define YES __objc_yes
#define NO __objc_no
#define nil nullptr

typedef long NSInteger;
typedef unsigned long NSUInteger;

#define NS_ENUM(type, name) \
  enum name : type name;    \
  enum name : type

#pragma clang assume_nonnull begin

@protocol NSObject
@end

@protocol NSCopying
@end

__attribute__((objc_root_class))
@interface NSObject<NSObject>
+ (instancetype)alloc;
+ (instancetype)new;
- (instancetype)init;
@end

#ifdef __cplusplus
extern "C" {
#endif
CFTypeRef _Nullable CFBridgingRetain(id _Nullable X) __attribute__((cf_returns_retained));
id _Nullable CFBridgingRelease(CFTypeRef _Nullable X __attribute__((cf_consumed)));
#ifdef __cplusplus
}
#endif

#pragma clang assume_nonnull end
