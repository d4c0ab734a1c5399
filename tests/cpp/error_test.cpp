#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "base/error.hpp"
#include "protocol/base.hpp"

using namespace halvo;

TEST(Chain, RendersOutermostFirst) {
    Chain c = Chain(IoError::os(ENOENT)).context("starting the image server");
    EXPECT_EQ(c.render(), std::string("starting the image server: ") + std::strerror(ENOENT) + " (os error 2)");
    EXPECT_EQ(c.outermost(), "starting the image server");
    EXPECT_EQ(protocol::find_failure(c), nullptr);
    EXPECT_EQ(Chain("one").render(), "one");
}

TEST(Chain, FindsAFailureInside) {
    auto refused = protocol::Failure::refused(protocol::message::Error::make(-32012, "x"));
    EXPECT_EQ(refused.text(), "the console server refused: x (-32012)");
    Chain c = protocol::chain_of(refused).context("booting");
    ASSERT_NE(protocol::find_failure(c), nullptr);
    EXPECT_EQ(protocol::find_failure(c)->refused_error()->code, -32012);

    auto broken = protocol::Failure::broken(Chain(IoError(ErrorKind::UnexpectedEof, "a frame ended mid-way"))
                                                .context("reading a message"));
    EXPECT_EQ(broken.text(), "the console channel broke: reading a message");
    EXPECT_EQ(protocol::chain_of(broken).context("outer").render(),
              "outer: the console channel broke: reading a message: reading a message: a frame ended mid-way");
}

TEST(IoError, Texts) {
    EXPECT_EQ(IoError(ErrorKind::WriteZero).text(), "write zero");
    EXPECT_EQ(IoError(ErrorKind::InvalidData, "bad").text(), "bad");
    auto e = IoError::os(EACCES);
    EXPECT_EQ(e.kind, ErrorKind::PermissionDenied);
    EXPECT_EQ(e.text(), std::string(std::strerror(EACCES)) + " (os error 13)");
}
