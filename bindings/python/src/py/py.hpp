#pragma once
// The binding layer over CPython's limited API.
#include "py/bridge.hpp"
#include "py/cls.hpp"
#include "py/convert.hpp"
#include "py/def.hpp"
#include "py/errors.hpp"
#include "py/module.hpp"
#include "py/ref.hpp"
