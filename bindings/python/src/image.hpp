#pragma once
// The image classes of the module: steps, recipes, image sources, build and
// list results, and the image client; plus the two argument conversions
// that the console classes share.
#include <Python.h>

// Angle brackets: the core's image model, not this file, which has its name.
#include <image.hpp>

#include "py/cls.hpp"
#include "py/convert.hpp"

namespace halvo::image {

// One step: a Step (copied), else a str meaning Step.run of it.
struct StepLike {
    Step step;
};
// One image source: an ImageSource (copied), else a Recipe (copied) as its
// recipe source. A str is refused.
struct ImageSourceLike {
    ImageSource source;
};

// Adds Step, Recipe, ImageSource, BuildImageResult, ImageEntry and
// ImageClient, in that order.
void register_in(PyObject* module);

}  // namespace halvo::image

namespace halvo::py {

template <>
struct FromPython<image::StepLike> {
    static image::StepLike convert(PyObject* o);
};
template <>
struct FromPython<image::ImageSourceLike> {
    static image::ImageSourceLike convert(PyObject* o);
};

}  // namespace halvo::py
