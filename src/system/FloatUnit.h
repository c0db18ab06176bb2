// Included in every C++ unit by the top CMakeLists.txt: float arithmetic must round each result to
// its type. The 32-bit build gets there with SSE2 scalar arithmetic; at the x87 unit's extended
// precision the shipped programs would compute other numbers than the tested ones.
#pragma once

#include <cfloat>

static_assert(FLT_EVAL_METHOD == 0, "build with SSE2 float arithmetic (-msse2 -mfpmath=sse)");
