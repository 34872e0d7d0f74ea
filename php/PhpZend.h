#ifndef MORV_PHP_ZEND_H
#define MORV_PHP_ZEND_H

// The interpreter's API, for the binding's own files only: handlers see Php:: types alone.
#pragma GCC system_header
#include <php.h>

#endif
