// Stand-in: the Core Foundation types and calls the adapter uses (MacTypes.h, CFBase.h,
// CFString.h, CFDictionary.h). Declarations only.
#pragma once

#include <stdint.h>

typedef unsigned char UInt8;
typedef signed short SInt16;
typedef unsigned int UInt32;
typedef signed int SInt32;
typedef unsigned long long UInt64;
typedef double Float64;
typedef unsigned char Boolean;
typedef SInt32 OSStatus;

// An enumeration of the given underlying type; the SDK's also takes a name.
#define CF_ENUM(type) enum : type

typedef signed long CFIndex;
typedef const void* CFTypeRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef struct __CFRunLoop* CFRunLoopRef;

typedef struct {
  CFIndex location;
  CFIndex length;
} CFRange;

typedef UInt32 CFStringEncoding;
enum { kCFStringEncodingUTF8 = 0x08000100 };

#ifdef __cplusplus
extern "C" {
#endif

extern const CFAllocatorRef kCFAllocatorDefault;

void CFRelease(CFTypeRef cf);
CFRange CFRangeMake(CFIndex loc, CFIndex len);

CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation)
    __attribute__((cf_returns_retained));
CFIndex CFStringGetLength(CFStringRef theString);
CFIndex CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding,
                         UInt8 lossByte, Boolean isExternalRepresentation, UInt8* buffer,
                         CFIndex maxBufLen, CFIndex* usedBufLen);

#ifdef __cplusplus
}
#endif
