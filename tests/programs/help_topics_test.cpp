// Every command of both command tables has a help topic: a label
// ":t-<command>" in the help script, its name in one of the topic word
// lists that lead there (without one, "help <command>" would say there is
// no help), and its name in the index that "help" alone shows. A new
// command cannot ship without its help. The rows are read from the table
// sources (each row is written Command{"keyword", Handler}), so the test
// does not depend on how the programs link their handlers.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<std::string> TableRows(const std::string& path) {
    const std::string text = ReadAll(path);
    static const std::regex row(R"re(Command\{"([^"]+)",)re");
    std::vector<std::string> rows;
    for (std::sregex_iterator m(text.begin(), text.end(), row), end; m != end; ++m)
        rows.push_back((*m)[1]);
    return rows;
}

struct HelpScript {
    std::string text;
    std::set<std::string> labels, words, index; // index: the words "help" alone shows
};

HelpScript LoadHelp() {
    HelpScript h;
    h.text = ReadAll(VK_HELP_SCRIPT);
    std::istringstream lines(h.text);
    const std::string list = "if ci \"$HelpTopic\" in \"";
    const std::string indexLine = "echo \"  ";
    bool inIndex = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(":t-", 0) == 0) h.labels.insert(line.substr(3));
        if (line == ":index") inIndex = true;
        if (line == "goto end") inIndex = false;
        size_t at = line.find(indexLine);
        if (inIndex && at != std::string::npos) {
            std::istringstream words(line.substr(at + indexLine.size()));
            for (std::string w; words >> w;)
                h.index.insert(w.back() == '"' ? w.substr(0, w.size() - 1) : w);
        }
        if (line.rfind(list, 0) != 0) continue;
        std::istringstream words(
            line.substr(list.size(), line.find('"', list.size()) - list.size()));
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
    const std::string dir = VK_TABLE_DIR;
    std::vector<std::string> common = TableRows(dir + "/commandtable.h");
    std::vector<std::string> pelto = TableRows(dir + "/pelto_commands.cpp");
    std::vector<std::string> tobrend = TableRows(dir + "/tobrend_commands.cpp");
    // The rows are really found: the shared ones alone are over seventy.
    ASSERT_GT(common.size(), 70u);
    ASSERT_FALSE(pelto.empty());
    for (const auto* rows : {&common, &pelto, &tobrend})
        for (const std::string& keyword : *rows) {
            EXPECT_TRUE(h.labels.count(keyword)) << "no label :t-" << keyword;
            EXPECT_TRUE(h.words.count(keyword)) << keyword << " is in no topic list";
            EXPECT_TRUE(h.index.count(keyword)) << keyword << " is not in the index";
        }
    // Every listed topic leads to a label (a jump to a missing one fails).
    for (const std::string& w : h.words)
        EXPECT_TRUE(h.labels.count(w)) << "topic " << w << " has no label";
}

} // namespace
