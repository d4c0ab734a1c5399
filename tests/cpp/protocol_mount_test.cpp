#include <gtest/gtest.h>

#include "protocol/message/call/init.hpp"

using namespace halvo::protocol::message::call;

TEST(MountSpec, Parsing) {
    struct C {
        const char* in;
        const char* url;  // nullptr when it fails
        const char* guest;
        bool readonly;
        const char* error;  // the failure's text form
    } cases[] = {
        {"file:///a:/b:ro", "file:///a", "/b", true, nullptr},
        {"file:///a:/b", "file:///a", "/b", false, nullptr},
        {"file:///a:/b:rw:ro", "file:///a", "/b", false, nullptr},
        {"file:///a:/b:ro:rw", "file:///a", "/b", true, nullptr},
        {"file:///a", nullptr, nullptr, false, "a mount needs a guest path to appear at: \"file:///a\""},
        {"x:/b", nullptr, nullptr, false, "a mount URL needs a scheme: \"x:/b\""},
        {"file:///a:/b:", nullptr, nullptr, false, "a mount trails an absolute guest path with `ro` or `rw`: \"file:///a:/b:\""},
        {"file:///a:/b:RO", nullptr, nullptr, false, "a mount trails an absolute guest path with `ro` or `rw`: \"file:///a:/b:RO\""},
        {"file:///a:b", nullptr, nullptr, false, "a mount trails an absolute guest path with `ro` or `rw`: \"file:///a:b\""},
        {"file:///a:ro", nullptr, nullptr, false, "a mount needs a guest path to appear at: \"file:///a:ro\""},
        {"file://:/b", nullptr, nullptr, false, "a mount URL needs something after its scheme: \"file://:/b\""},
        {"file://:/b:ro", nullptr, nullptr, false, "a mount URL needs something after its scheme: \"file://:/b\""},
        {"file:///a:b:/data", "file:///a:b", "/data", false, nullptr},
        {"file://a::/b", "file://a:", "/b", false, nullptr},
        {"://x:/", "://x", "/", false, nullptr},
    };
    for (const auto& c : cases) {
        auto m = MountSpec::parse(c.in);
        if (c.url) {
            ASSERT_TRUE(m) << c.in << ": " << m.error().text();
            EXPECT_EQ(m->host_url, c.url) << c.in;
            EXPECT_EQ(m->guest_path, c.guest) << c.in;
            EXPECT_EQ(m->readonly, c.readonly) << c.in;
            // The text form parses back to the same spec.
            auto again = MountSpec::parse(m->text());
            ASSERT_TRUE(again) << m->text();
            EXPECT_EQ(*again, *m);
        } else {
            ASSERT_FALSE(m) << c.in;
            EXPECT_EQ(m.error().text(), c.error) << c.in;
        }
    }
}

TEST(MountSpec, Making) {
    struct C {
        const char* url;
        const char* guest;
        const char* error;  // nullptr: it succeeds
    } cases[] = {
        {"file:///tmp", "/mnt", nullptr},
        {"://x", "/", nullptr},
        {"file://", "/mnt", "a mount URL needs something after its scheme: \"file://:/mnt\""},
        {"/tmp", "/mnt", "a mount URL needs a scheme: \"/tmp:/mnt\""},
        {"file:///tmp", "mnt", "a guest path is absolute: \"file:///tmp:mnt\""},
        {"file:///tmp", "", "a guest path is absolute: \"file:///tmp:\""},
        {"file:///tmp", "/a:b", "a guest path cannot carry a colon: \"file:///tmp:/a:b\""},
    };
    for (const auto& c : cases) {
        auto m = MountSpec::make(c.url, c.guest);
        if (!c.error) {
            ASSERT_TRUE(m) << c.url;
            EXPECT_FALSE(m->readonly);
        } else {
            ASSERT_FALSE(m) << c.url;
            EXPECT_EQ(m.error().text(), c.error);
        }
    }
    MountSpec ro{"file:///a", "/b", true};
    EXPECT_EQ(ro.text(), "file:///a:/b:ro");
    ro.readonly = false;
    EXPECT_EQ(ro.text(), "file:///a:/b");
}

TEST(Port, Parsing) {
    struct C {
        const char* in;
        const char* text;   // the text form on success
        const char* error;  // the failure's text form
    } cases[] = {
        {"8080:80", "8080:80", nullptr},
        {"+80:+22", "80:22", nullptr},
        {"00080:022", "80:22", nullptr},
        {"65535:65535", "65535:65535", nullptr},
        {"80", nullptr, "not <host>:<console>: \"80\""},
        {":80", nullptr, "not a port number: \":80\""},
        {"80:", nullptr, "not a port number: \"80:\""},
        {"-1:80", nullptr, "not a port number: \"-1:80\""},
        {"65536:80", nullptr, "not a port number: \"65536:80\""},
        {"80:22:1", nullptr, "not a port number: \"80:22:1\""},
        {" 80:22", nullptr, "not a port number: \" 80:22\""},
        {"++80:22", nullptr, "not a port number: \"++80:22\""},
        {"+:22", nullptr, "not a port number: \"+:22\""},
        {"99999999999999999999:1", nullptr, "not a port number: \"99999999999999999999:1\""},
        {"0:80", nullptr, "port 0 is no port: \"0:80\""},
        {"80:0", nullptr, "port 0 is no port: \"80:0\""},
        {"+0:080", nullptr, "port 0 is no port: \"0:80\""},
    };
    for (const auto& c : cases) {
        auto p = Port::parse(c.in);
        if (c.text) {
            ASSERT_TRUE(p) << c.in;
            EXPECT_EQ(p->text(), c.text);
        } else {
            ASSERT_FALSE(p) << c.in;
            EXPECT_EQ(p.error().text(), c.error);
        }
    }
}
