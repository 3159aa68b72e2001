// The output scale of the float transform: p(u) p(v) with p(k) = C(k) / (2 s_k), s_k the
// gain of the 1-D pass at frequency k, computed in double precision and rounded to float.
#include "jpeg/primitives/dct/forward_dct.h"

namespace vorn::jpeg::prim {

const float kFloatDctScale[kBlockSize] = {
    0x1p-3f, 0x1.55087p-4f, 0x1.87de2ap-4f, 0x1.92469cp-4f, 0x1p-3f, 0x1.2d062ep-3f, 0x1.d906bcp-3f, 0x1.ac9f44p-2f,
    0x1.55087p-4f, 0x1.c64f7cp-5f, 0x1.0503eep-4f, 0x1.0bf2a8p-4f, 0x1.55087p-4f, 0x1.91032ap-4f, 0x1.3b12cap-3f, 0x1.1d7f24p-2f,
    0x1.87de2ap-4f, 0x1.0503eep-4f, 0x1.2bec34p-4f, 0x1.33e37ap-4f, 0x1.87de2ap-4f, 0x1.ccc9aep-4f, 0x1.6a09e6p-3f, 0x1.480d9ep-2f,
    0x1.92469cp-4f, 0x1.0bf2a8p-4f, 0x1.33e37ap-4f, 0x1.3c10eap-4f, 0x1.92469cp-4f, 0x1.d906bcp-4f, 0x1.73a786p-3f, 0x1.50c428p-2f,
    0x1p-3f, 0x1.55087p-4f, 0x1.87de2ap-4f, 0x1.92469cp-4f, 0x1p-3f, 0x1.2d062ep-3f, 0x1.d906bcp-3f, 0x1.ac9f44p-2f,
    0x1.2d062ep-3f, 0x1.91032ap-4f, 0x1.ccc9aep-4f, 0x1.d906bcp-4f, 0x1.2d062ep-3f, 0x1.61f78ap-3f, 0x1.161c2cp-2f, 0x1.f8019ep-2f,
    0x1.d906bcp-3f, 0x1.3b12cap-3f, 0x1.6a09e6p-3f, 0x1.73a786p-3f, 0x1.d906bcp-3f, 0x1.161c2cp-2f, 0x1.b504f4p-2f, 0x1.8bfec6p-1f,
    0x1.ac9f44p-2f, 0x1.1d7f24p-2f, 0x1.480d9ep-2f, 0x1.50c428p-2f, 0x1.ac9f44p-2f, 0x1.f8019ep-2f, 0x1.8bfec6p-1f, 0x1.66d278p+0f,
};

}  // namespace vorn::jpeg::prim
