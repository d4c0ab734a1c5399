#include "image/client.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>

#include "stdio_util.hpp"

using namespace halvo;
using namespace std::chrono_literals;
using protocol::Failure;

namespace {

std::string broken_text(const Failure& f) {
    return f.broken_chain() ? f.broken_chain()->render() : "not broken: " + f.debug();
}

ImageClient open_stand_in(const std::string& scenario = "{}") {
    auto c = test::await(ImageClient::try_from_cmd(test::stand_in(scenario)));
    if (!c) throw std::runtime_error(c.error().debug());
    return std::move(c).value();
}

Recipe recipe(std::string base, std::string run) {
    return Recipe{1, std::move(base), {Step{Step::Run{std::move(run)}}}};
}

TEST(ImageClient, BuildListRemove) {
    test::TempDir state;
    ImageClient client = [&] {
        test::EnvVar var("HALVO_UVM_STATE", state.path().c_str());
        return open_stand_in();
    }();

    auto version = test::await(client.version());
    ASSERT_TRUE(version) << version.error().debug();
    EXPECT_EQ(*version, "0.1.2+stand-in");

    auto a = test::await(client.build(recipe("alpine", "echo a"), "first"));
    ASSERT_TRUE(a) << a.error().debug();
    EXPECT_EQ(a->reference, "first");
    EXPECT_FALSE(a->digest.empty());
    auto b = test::await(client.build(recipe("alpine", "echo b"), std::nullopt));
    ASSERT_TRUE(b) << b.error().debug();
    EXPECT_NE(b->digest, a->digest);

    auto listed = test::await(client.list());
    ASSERT_TRUE(listed);
    std::vector<ImageEntry> want = {{a->digest, {"first"}}, {b->digest, {}}};
    EXPECT_EQ(*listed, want);

    // By reference and by recipe; the answer record is dropped.
    EXPECT_TRUE(test::await(client.remove(ImageSource{ImageSource::Ref{"first"}})));
    EXPECT_TRUE(test::await(client.remove(ImageSource{ImageSource::Recipe{recipe("alpine", "echo b")}})));
    listed = test::await(client.list());
    ASSERT_TRUE(listed);
    EXPECT_TRUE(listed->empty());

    // A refusal leaves the client usable.
    auto again = test::await(client.remove(ImageSource{ImageSource::Digest{a->digest}}));
    ASSERT_FALSE(again);
    ASSERT_TRUE(again.error().refused_error());
    EXPECT_EQ(again.error().refused_error()->code, -32012);
    EXPECT_TRUE(test::await(client.version()));
}

TEST(ImageClient, StartFailuresAreBroken) {
    auto empty = test::await(ImageClient::try_from_cmd({}));
    ASSERT_FALSE(empty);
    EXPECT_EQ(broken_text(empty.error()), "an image server needs a program to run");

    auto missing = test::await(ImageClient::try_from_cmd({"/nonexistent/halvo-uvm", "x"}));
    ASSERT_FALSE(missing);
    EXPECT_EQ(broken_text(missing.error()), "starting the image server: /nonexistent/halvo-uvm: No such file or directory (os error 2)");
}

TEST(ImageClient, RefusedProbeReleasesTheServerWithoutQuit) {
    test::TempDir dir;
    const std::string log = dir / "log";
    auto c = test::await(ImageClient::try_from_cmd(test::stand_in(
        R"({"log": ")" + log + R"(", "rules": [{"index": 0, "actions": [{"reply": "error", "code": 7, "message": "no"}]}]})")));
    ASSERT_FALSE(c);
    ASSERT_TRUE(c.error().refused_error()) << c.error().debug();
    EXPECT_EQ(c.error().refused_error()->code, 7);
    EXPECT_EQ(c.error().refused_error()->message, "no");
    EXPECT_TRUE(test::eventually_holds(log, R"("event": "eof")"));
    EXPECT_TRUE(test::eventually_holds(log, R"("event": "exit")"));
    EXPECT_EQ(test::read_file(log).find(R"("event": "quit")"), std::string::npos);
}

TEST(ImageClient, ProbeAnsweredWithAnotherKindIsRefused) {
    auto c = test::await(ImageClient::try_from_cmd(
        test::stand_in(R"({"rules": [{"index": 0, "actions": [{"reply": "as", "method": "exec"}]}]})")));
    ASSERT_FALSE(c);
    ASSERT_TRUE(c.error().refused_error());
    EXPECT_EQ(c.error().text(), "the console server refused: asked version and was answered a exec result (-32603)");
}

TEST(ImageClient, DroppedClientIsAskedToQuit) {
    test::TempDir dir;
    const std::string log = dir / "log";
    { ImageClient client = open_stand_in(R"({"log": ")" + log + R"("})"); }
    EXPECT_TRUE(test::eventually_holds(log, R"("event": "quit")"));
    EXPECT_TRUE(test::eventually_holds(log, R"("event": "exit")"));
}

TEST(ImageClientEnv, TryNewStartsTheCachedProgram) {
    // bin/halvo-uvm below HALVO_HOME, started with no arguments.
    test::TempDir home;
    std::filesystem::create_directories(home / "bin");
    const std::string program = home / "bin/halvo-uvm", args = home / "args";
    {
        std::ofstream f(program);
        f << "#!/bin/sh\necho \"$#\" > '" << args << "'\nexec '" << HALVO_PYTHON << "' '" << HALVO_SOURCE_DIR
          << "/tests/uvm/halvo-uvm'\n";
    }
    ::chmod(program.c_str(), 0755);
    test::EnvVar var("HALVO_HOME", home.path().c_str());
    auto c = test::await(ImageClient::try_new());
    ASSERT_TRUE(c) << c.error().debug();
    EXPECT_EQ(test::read_file(args), "0\n");
}

TEST(ImageClientEnv, TryNewWithoutAnyCacheFolder) {
    test::EnvVar halvo_home("HALVO_HOME", nullptr), home("HOME", nullptr);
    auto c = test::await(ImageClient::try_new());
    ASSERT_FALSE(c);
    EXPECT_EQ(broken_text(c.error()), "no cache folder: neither HALVO_HOME nor HOME is set");
}

}  // namespace
