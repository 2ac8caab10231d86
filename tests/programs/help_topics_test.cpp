// Every command of both command tables has a help topic: a label
// ":t-<command>" in the help script and its name in one of the topic word
// lists that lead there (without one, "help <command>" would say there is
// no help). A new command cannot ship without its help.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "commandtable.h"

namespace {

struct HelpScript {
    std::string text;
    std::set<std::string> labels, words;
};

HelpScript LoadHelp() {
    HelpScript h;
    std::ifstream in(VK_HELP_SCRIPT, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    h.text = all.str();
    std::istringstream lines(h.text);
    const std::string list = "if ci \"$HelpTopic\" in \"";
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(":t-", 0) == 0) h.labels.insert(line.substr(3));
        if (line.rfind(list, 0) != 0) continue;
        std::istringstream words(line.substr(list.size(), line.find('"', list.size()) - list.size()));
        for (std::string w; words >> w;)
            h.words.insert(w);
    }
    return h;
}

TEST(HelpTopics, EveryCommandOfBothProgramsHasOne) {
    HelpScript h = LoadHelp();
    ASSERT_FALSE(h.text.empty()) << VK_HELP_SCRIPT;
    // The script loader takes at most 64 KB.
    EXPECT_LT(h.text.size(), 65535u);
    for (const vk::Command* table : {vk::PeltoCommandTable(), vk::TobrendCommandTable()})
        for (const vk::Command* c = table; c->keyword; ++c) {
            EXPECT_TRUE(h.labels.count(c->keyword)) << "no label :t-" << c->keyword;
            EXPECT_TRUE(h.words.count(c->keyword)) << c->keyword << " is in no topic list";
        }
    // Every listed topic leads to a label (a jump to a missing one fails).
    for (const std::string& w : h.words)
        EXPECT_TRUE(h.labels.count(w)) << "topic " << w << " has no label";
}

} // namespace
