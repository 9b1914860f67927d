// Force-included by the Clang builds (fuzzing, clang-tidy): libstdc++ 12 shows
// <expected> only to compilers that report the 2020 concepts macro. Clang 16
// implements what the header needs (conditionally trivial special members)
// but still reports the 2019 value.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wbuiltin-macro-redefined"
#pragma clang diagnostic ignored "-Wmacro-redefined"
#undef __cpp_concepts
#define __cpp_concepts 202002L
#pragma clang diagnostic pop
