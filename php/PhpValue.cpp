#include "PhpValue.h"

#include <cstring>

#include "PhpZend.h"

namespace Php {
namespace {

zval* Deref(zval* pzv)
{
    return (pzv && Z_ISREF_P(pzv)) ? Z_REFVAL_P(pzv) : pzv;
}

}  // namespace

bool Value::isString() const
{
    const zval* pzv = Deref(m_pzv);
    return pzv && Z_TYPE_P(pzv) == IS_STRING;
}

bool Value::isNumeric() const
{
    const zval* pzv = Deref(m_pzv);
    return pzv && Z_TYPE_P(pzv) == IS_LONG;
}

std::string_view Value::stringValue() const
{
    if (!isString()) return std::string_view("", 0);
    zval* pzv = Deref(m_pzv);
    return std::string_view(Z_STRVAL_P(pzv), Z_STRLEN_P(pzv));
}

int64_t Value::numericValue() const
{
    return isNumeric() ? (int64_t)Z_LVAL_P(Deref(m_pzv)) : 0;
}

Value& Value::operator=(const char* pszText)
{
    assign(pszText ? pszText : "", pszText ? strlen(pszText) : 0);
    return *this;
}

void Value::assign(const char* pbyBytes, size_t nLength)
{
    if (!m_pzv) return;
    zval* pzv = m_pzv;
    bool bBailout = false;
    // An allocation over memory_limit ends the request by a long jump; it must not leap over
    // the handler's destructors, so it is caught here and carried up as a C++ exception.
    zend_try {
        if (Z_ISREF_P(pzv)) {
            ZEND_TRY_ASSIGN_REF_STRINGL(pzv, pbyBytes, nLength);
        } else {
            zval_ptr_dtor(pzv);
            ZVAL_STRINGL(pzv, pbyBytes, nLength);
        }
    } zend_catch {
        bBailout = true;
    } zend_end_try();
    if (bBailout) throw Bailout();
}

void Value::ToReturn(zval* pzvReturn) const
{
    if (m_bHasCode) {
        ZVAL_LONG(pzvReturn, (zend_long)m_nCode);
    } else {
        ZVAL_NULL(pzvReturn);
    }
}

Parameters::Parameters(zend_execute_data* pExecuteData, uint32_t nCount)
{
    m_values.reserve(nCount);
    for (uint32_t i = 1; i <= nCount; ++i) m_values.emplace_back(ZEND_CALL_ARG(pExecuteData, i));
}

}  // namespace Php
