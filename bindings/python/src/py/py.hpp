#pragma once
// The binding layer over CPython's limited API.
#include <Python.h>
