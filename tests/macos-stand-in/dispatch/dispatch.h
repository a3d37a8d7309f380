// Stand-in: serial dispatch queues. Under ARC dispatch objects are Objective-C objects, as with
// OS_OBJECT_USE_OBJC on Apple's platforms. Declarations only.
#pragma once

#include <stddef.h>

#include <Foundation/NSObject.h>

#pragma clang assume_nonnull begin

@protocol OS_dispatch_object <NSObject>
@end
@protocol OS_dispatch_queue <OS_dispatch_object>
@end
@protocol OS_dispatch_queue_attr <OS_dispatch_object>
@end
typedef NSObject<OS_dispatch_queue>* dispatch_queue_t;
typedef NSObject<OS_dispatch_queue_attr>* dispatch_queue_attr_t;

#define DISPATCH_QUEUE_SERIAL NULL

#ifdef __cplusplus
extern "C" {
#endif
dispatch_queue_t dispatch_queue_create(const char* _Nullable label,
                                       dispatch_queue_attr_t _Nullable attr)
    __attribute__((ns_returns_retained));
typedef void (*dispatch_function_t)(void* _Nullable);
void dispatch_sync_f(dispatch_queue_t queue, void* _Nullable context, dispatch_function_t work);
#ifdef __cplusplus
}
#endif

#pragma clang assume_nonnull end
