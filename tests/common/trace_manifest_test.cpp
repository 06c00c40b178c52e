// The instrumentation manifest must describe the events exactly as the code
// writes them, or Windows' tools would decode them wrongly.

#include <cstdint>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "common/trace_provider.h"

namespace {

std::string ReadManifest() {
    std::ifstream file(KG_TEST_SOURCE_DIR "/common/kgclient_update.man");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The attributes of every element `<tag .../>` or `<tag ...>`.
std::vector<std::map<std::string, std::string>> Elements(const std::string& xml,
                                                         const std::string& tag) {
    std::vector<std::map<std::string, std::string>> found;
    const std::regex element("<" + tag + "\\s([^>]*)>");
    const std::regex attribute("([A-Za-z:]+)=\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(xml.begin(), xml.end(), element);
         it != std::sregex_iterator(); ++it) {
        std::map<std::string, std::string> attributes;
        const std::string body = (*it)[1];
        for (auto a = std::sregex_iterator(body.begin(), body.end(), attribute);
             a != std::sregex_iterator(); ++a) {
            attributes[(*a)[1]] = (*a)[2];
        }
        found.push_back(attributes);
    }
    return found;
}

uint64_t Number(const std::string& text) {
    return std::stoull(text, nullptr, 0);
}

std::map<std::string, uint64_t> NamedValues(const std::string& xml, const std::string& tag,
                                            const std::string& key,
                                            const std::string& valueAttribute) {
    std::map<std::string, uint64_t> values;
    for (auto& element : Elements(xml, tag)) {
        values[element[key]] = Number(element[valueAttribute]);
    }
    return values;
}

TEST(TraceManifest, AgreesWithTheEventTable) {
    const std::string xml = ReadManifest();
    ASSERT_FALSE(xml.empty());

    const auto provider = Elements(xml, "provider");
    ASSERT_EQ(1u, provider.size());
    const GUID& id = TraceProvider::kProviderId;
    char guid[40];
    snprintf(guid, sizeof guid, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             static_cast<unsigned long>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1],
             id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
    EXPECT_EQ(guid, provider[0].at("guid"));

    auto levels = NamedValues(xml, "level", "name", "value");
    levels["win:Critical"] = 1;
    levels["win:Error"] = 2;
    levels["win:Warning"] = 3;
    levels["win:Informational"] = 4;
    levels["win:Verbose"] = 5;
    const auto opcodes = NamedValues(xml, "opcode", "name", "value");
    const auto tasks = NamedValues(xml, "task", "name", "value");
    const auto keywords = NamedValues(xml, "keyword", "name", "mask");
    const auto channels = NamedValues(xml, "channel", "chid", "value");
    // The first channel owns the top keyword bit; every event carries it.
    const uint64_t channelKeyword = 0x8000000000000000ull;

    const auto events = Elements(xml, "event");
    ASSERT_EQ(std::size(kTraceEventTable), events.size());
    for (const TraceEventRow& row : kTraceEventTable) {
        const EVENT_DESCRIPTOR& d = row.descriptor;
        SCOPED_TRACE("event " + std::to_string(d.Id));
        const auto event = std::find_if(events.begin(), events.end(), [&](const auto& e) {
            return Number(e.at("value")) == d.Id;
        });
        ASSERT_NE(events.end(), event);
        EXPECT_EQ(d.Version, Number(event->at("version")));
        EXPECT_EQ(d.Channel, channels.at(event->at("channel")));
        EXPECT_EQ(d.Level, levels.at(event->at("level")));
        EXPECT_EQ(d.Opcode, opcodes.at(event->at("opcode")));
        EXPECT_EQ(d.Task, tasks.at(event->at("task")));
        uint64_t keyword = channelKeyword;
        std::istringstream names(event->at("keywords"));
        for (std::string name; names >> name;) {
            keyword |= keywords.at(name);
        }
        EXPECT_EQ(d.Keyword, keyword);
    }
}

TEST(TraceManifest, LogEventsCarryModuleNameThenMessage) {
    const std::string xml = ReadManifest();
    const std::regex logTemplate(
        "<template tid=\"LogMessage\">\\s*"
        "<data name=\"Module\" inType=\"win:UnicodeString\"/>\\s*"
        "<data name=\"Message\" inType=\"win:UnicodeString\"/>\\s*</template>");
    EXPECT_TRUE(std::regex_search(xml, logTemplate));
    for (auto& event : Elements(xml, "event")) {
        if (Number(event["value"]) <= 2005) {
            EXPECT_EQ("LogMessage", event["template"]) << event["value"];
        }
    }
}

}  // namespace
