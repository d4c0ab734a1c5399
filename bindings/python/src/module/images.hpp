#pragma once
// The image classes of the module: steps, recipes, image sources, build and
// list results, and the image client; plus the two argument conversions
// that the console classes share.
#include <Python.h>

#include "image/model.hpp"

#include "py/cls.hpp"
#include "py/convert.hpp"

namespace halvo::module::image {

// One step: a Step (copied), else a str meaning Step.run of it.
struct StepLike {
    halvo::Step step;
};
// One image source: an ImageSource (copied), else a Recipe (copied) as its
// recipe source. A str is refused.
struct ImageSourceLike {
    halvo::ImageSource source;
};

// Adds Step, Recipe, ImageSource, BuildImageResult, ImageEntry and
// ImageClient, in that order.
void register_in(PyObject* module);

}  // namespace halvo::module::image

namespace halvo::py {

template <>
struct FromPython<module::image::StepLike> {
    static module::image::StepLike convert(PyObject* o);
};
template <>
struct FromPython<module::image::ImageSourceLike> {
    static module::image::ImageSourceLike convert(PyObject* o);
};

}  // namespace halvo::py
