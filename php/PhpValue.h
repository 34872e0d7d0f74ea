#ifndef MORV_PHP_VALUE_H
#define MORV_PHP_VALUE_H

// Values crossing between PHP and a handler: the arguments of a call (borrowed from the
// interpreter's call frame) and the handler's result (a PHP integer or null).
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

struct _zval_struct;
struct _zend_execute_data;

namespace Php {

enum class Type { String, Numeric };

// A PHP memory failure (memory_limit) met while writing a value: it unwinds the handler so
// that its buffers are released, and the trampoline then hands it back to the interpreter.
struct Bailout {};

class Value {
public:
    Value() = default;
    // A result code: the PHP integer of the 32-bit code, so 0x8... and 0xA... are negative.
    Value(int nCode) : m_bHasCode(true), m_nCode(nCode) {}
    explicit Value(_zval_struct* pzv) : m_pzv(pzv) {}

    // Of the value itself, or of what a reference argument refers to.
    bool isString() const;
    bool isNumeric() const;  // a PHP integer; numeric strings and floats are not
    // The string's bytes, borrowed from PHP for the call (the frame holds the string until
    // the handler returns); data()[size()] is always a zero byte. Empty unless isString().
    std::string_view stringValue() const;
    int64_t numericValue() const;

    // Writes a string through a reference argument (a typed reference may refuse it with a
    // PHP TypeError, raised when the handler returns). Throws Bailout, see above.
    Value& operator=(const char* pszText);
    void assign(const char* pbyBytes, size_t nLength);

    // The result into the interpreter's return slot.
    void ToReturn(_zval_struct* pzvReturn) const;

private:
    _zval_struct* m_pzv = nullptr;
    bool m_bHasCode = false;
    int m_nCode = 0;
};

// The actual arguments of one call, in order, extras included.
class Parameters {
public:
    Parameters(_zend_execute_data* pExecuteData, uint32_t nCount);
    size_t size() const { return m_values.size(); }
    Value& operator[](size_t i) { return m_values[i]; }
    const Value& operator[](size_t i) const { return m_values[i]; }

private:
    std::vector<Value> m_values;
};

}  // namespace Php

#endif
