// Span and trace ids as zero-padded hexadecimal text.
#include <cstdio>

#include "spanbridge.hpp"

namespace tavrix::spanbridge {

namespace {

ref zero_padded(const char* digits, int length, int width) {
    char buffer[80];
    int pad = width > length ? width - length : 0;
    for (int i = 0; i < pad; ++i) buffer[i] = '0';
    for (int i = 0; i < length; ++i) buffer[pad + i] = digits[i];
    return check(PyUnicode_FromStringAndSize(buffer, pad + length));
}

}  // namespace

ref hex_id(const spanbridge_state& st, PyObject* value, int width) {
    // Ids are non-negative ints of at most 128 bits: printed here. Anything
    // else (negative, larger, another type) goes through format().
    if (PyLong_CheckExact(value)) [[likely]] {
        int overflow = 0;
        const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (small == -1 && PyErr_Occurred()) throw_error();
        char digits[40];
        if (overflow == 0 && small >= 0) {
            const int length = std::snprintf(digits, sizeof digits, "%llx", static_cast<unsigned long long>(small));
            return zero_padded(digits, length, width);
        }
        if (overflow > 0) {
            const unsigned long long low = PyLong_AsUnsignedLongLongMask(value);
            if (low == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error();
            ref high_part = check(PyNumber_Rshift(value, st.sixty_four.get()));
            const unsigned long long high = PyLong_AsUnsignedLongLong(high_part.get());
            if (high == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_error();
                PyErr_Clear();
            } else {
                const int length = high != 0 ? std::snprintf(digits, sizeof digits, "%llx%016llx", high, low)
                                             : std::snprintf(digits, sizeof digits, "%llx", low);
                return zero_padded(digits, length, width);
            }
        }
    }
    return check(PyObject_Format(value, width == 32 ? st.hex32.get() : st.hex16.get()));
}

}  // namespace tavrix::spanbridge
