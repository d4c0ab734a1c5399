#include "py/py.hpp"
