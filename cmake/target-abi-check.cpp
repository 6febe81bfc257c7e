// Fails to compile when the Python headers describe another ABI than the compiler's
// target: a host pyconfig.h picked up by mistake, or time_t flags that differ from the
// ones the interpreter was built with.
#include <Python.h>

#include <cstddef>
#include <ctime>

static_assert(SIZEOF_VOID_P == sizeof(void *), "pyconfig.h was made for another pointer size");
static_assert(SIZEOF_SIZE_T == sizeof(std::size_t), "pyconfig.h was made for another size_t");
static_assert(SIZEOF_LONG == sizeof(long), "pyconfig.h was made for another long");
static_assert(SIZEOF_TIME_T == sizeof(std::time_t), "time_t differs from the interpreter's build");
