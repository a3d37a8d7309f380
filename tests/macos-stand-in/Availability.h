// Stand-in: the availability annotations of Apple's headers (Availability.h, os/availability.h),
// as clang's availability attribute. A deployment target older than a declaration's
// introduction then rejects an unguarded use under -Werror=unguarded-availability-new.
// Declarations only.
#pragma once

#define PT_AVAILABLE_macos(version) __attribute__((availability(macos, introduced = version)))
#define PT_AVAILABLE_ios(version) __attribute__((availability(ios, introduced = version)))
#define PT_AVAILABLE_watchos(version) __attribute__((availability(watchos, introduced = version)))
#define PT_AVAILABLE_tvos(version) __attribute__((availability(tvos, introduced = version)))
#define PT_AVAILABLE_macCatalyst(version) \
  __attribute__((availability(macCatalyst, introduced = version)))
#define PT_UNAVAILABLE_ios __attribute__((availability(ios, unavailable)))
#define PT_UNAVAILABLE_watchos __attribute__((availability(watchos, unavailable)))
#define PT_UNAVAILABLE_tvos __attribute__((availability(tvos, unavailable)))

#define PT_EACH_1(prefix, a) prefix##a
#define PT_EACH_2(prefix, a, ...) prefix##a PT_EACH_1(prefix, __VA_ARGS__)
#define PT_EACH_3(prefix, a, ...) prefix##a PT_EACH_2(prefix, __VA_ARGS__)
#define PT_EACH_4(prefix, a, ...) prefix##a PT_EACH_3(prefix, __VA_ARGS__)
#define PT_EACH_5(prefix, a, ...) prefix##a PT_EACH_4(prefix, __VA_ARGS__)
#define PT_EACH_PICK(_1, _2, _3, _4, _5, name, ...) name
#define PT_EACH(prefix, ...)                                                          \
  PT_EACH_PICK(__VA_ARGS__, PT_EACH_5, PT_EACH_4, PT_EACH_3, PT_EACH_2, PT_EACH_1, _) \
  (prefix, __VA_ARGS__)

// API_AVAILABLE(macos(15.0), ios(18.0)), API_UNAVAILABLE(ios, watchos, tvos)
#define API_AVAILABLE(...) PT_EACH(PT_AVAILABLE_, __VA_ARGS__)
#define API_UNAVAILABLE(...) PT_EACH(PT_UNAVAILABLE_, __VA_ARGS__)
