#pragma once

// Our own addition to the eight vendor operations: why the last
// CH341OpenDevice failed, in words for the operator.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Zero-terminated UTF-8 text saying why the last CH341OpenDevice for iIndex
// failed and what to do about it; an empty text after a successful open, and
// for any index but 0. The text is static.
const char *CH341GetLastErrorText(uint32_t iIndex);

#ifdef __cplusplus
}
#endif
