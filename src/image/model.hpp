#pragma once
// The image model: recipes and their steps, the image to act on, and the
// stored images as the server lists them, with their BSON documents.
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "bson/error.hpp"
#include "bson/value.hpp"
#include "bson/writer.hpp"
#include "codec/record.hpp"

namespace halvo::inline image {

// Where a step is read decides its failure texts: straight from the
// build-image params, or from the entries an image source gathered first.
enum class StepContext { BuildImage, Gathered };

struct Step {
    struct Run {
        std::string command;
    };
    struct Copy {
        std::string src;  // a host path: raw bytes, not always UTF-8
        std::string dst;
    };
    struct Env {
        std::string key;
        std::string value;
    };
    struct Workdir {
        std::string dir;
    };
    std::variant<Run, Copy, Env, Workdir> v;

    static Step env(std::string_view key, std::string_view value) { return Step{Env{std::string(key), std::string(value)}}; }

    // Copy sources compare as paths, by their components.
    bool operator==(const Step& other) const;
    // "RUN {}", "COPY {} {}", "ENV {}={}", "WORKDIR {}", without quoting.
    std::string text() const;
    std::string debug() const;

    // A copy whose source is not UTF-8 cannot be written.
    bson::Status write(bson::Writer& w, std::string_view key) const;
    static bson::BsonResult<Step> read(const bson::Value& v, StepContext ctx);
};

struct Recipe {
    uint32_t version = 1;
    std::string base;
    std::vector<Step> steps;

    bool operator==(const Recipe& other) const = default;
    std::string debug() const;
    bson::Status write(bson::Writer& w, std::string_view key) const;
    // Only format 1 with a base reads.
    static bson::BsonResult<Recipe> read(const bson::Value& v, StepContext ctx);
};

struct ImageSource {
    struct Recipe {
        halvo::Recipe recipe;
        bool operator==(const Recipe&) const = default;
    };
    struct Ref {
        std::string reference;
        bool operator==(const Ref&) const = default;
    };
    struct Digest {
        std::string digest;
        bool operator==(const Digest&) const = default;
    };
    std::variant<Recipe, Ref, Digest> v;

    bool operator==(const ImageSource& other) const = default;
    std::string debug() const;
    // "type" first, then the key that repeats it.
    bson::Status write(bson::Writer& w, std::string_view key) const;
    static bson::BsonResult<ImageSource> read(const bson::Value& v);
};

struct ImageEntry {
    std::string digest;
    std::vector<std::string> refs;

    HALVO_RECORD(ImageEntry);
};

struct ImageEntries {
    std::vector<ImageEntry> images;

    HALVO_RECORD(ImageEntries);
};

// Equal as paths: the same components, where repeated and trailing "/"
// do not count and "." is dropped except at the start of a relative path.
bool same_path(std::string_view a, std::string_view b);

}  // namespace halvo::image
