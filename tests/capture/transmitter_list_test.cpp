// The site's transmitter list: what a file gives (and which lines it tells), and that a save
// writes back everything the operator wrote, changing only names.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "capture/transmitter_list.hpp"

namespace nira::capture {
namespace {

struct Problem {
    std::size_t line;
    const char* starts;
};

struct ListCase {
    const char* what;
    std::string text;
    std::vector<ListEntry> entries;
    std::vector<Problem> problems;
};

TEST(TransmitterList, FilesGiveTheirEntriesAndTellTheirBadLines) {
    const std::vector<ListCase> cases{
        {"ids as the log shows them and as Smart letters",
         "id,name\r\n1A2B3C,Front door\r\nFDHHHHHHHHHH,Back door\r\n",
         {{0x1A2B3C, "Front door"}, {0x900000, "Back door"}},
         {}},
        {"columns in any order, other columns, blanks, no line end at the end",
         "zone;Name ;ID;note\n3;Kitchen; 00ff00 ;x\n4;Hall;0000AA",
         {{0x00FF00, "Kitchen"}, {0x0000AA, "Hall"}},
         {}},
        {"quoted fields with the separator, quotes and a line break",
         "id,name,note\n111111,\"Door, \"\"main\"\"\",\"two\nlines\"\n222222,Loft,\n",
         {{0x111111, "Door, \"main\""}, {0x222222, "Loft"}},
         {}},
        {"bad lines told with their numbers, the good ones kept",
         "id,name\n111111,A\n11111G,B\n\n# spare\n,C\n222222,D\n",
         {{0x111111, "A"}, {0x222222, "D"}},
         {{3, "\"11111G\" is not a transmitter ID"}, {6, "\"\" is not a transmitter ID"}}},
        {"an ID given twice: told, the first kept",
         "id,name\n111111,First\nFFFFFFFFFFFD,Other\n111111,Second\n",
         {{0x111111, "First"}, {0xAAAAA9, "Other"}},
         {{4, "111111 is given again (first on line 2)"}}},
        {"a line break inside quotes moves the line numbers on",
         "id,name\n111111,\"a\nb\"\nbad,x\n",
         {{0x111111, "a\nb"}},
         {{4, "\"bad\" is not a transmitter ID"}}},
        {"a quote never closed",
         "id,name\n111111,\"open\n222222,x\n",
         {},
         {{2, "a quote is opened and never closed"}}},
        {"a byte order mark and no name column",
         "\xEF\xBB\xBFid\r\n123456\r\n",
         {{0x123456, ""}},
         {}},
    };
    for (const ListCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<ListProblem> problems;
        const TransmitterList list = TransmitterList::parse(c.text, problems);
        ASSERT_EQ(list.entries().size(), c.entries.size());
        for (std::size_t i = 0; i < c.entries.size(); ++i) {
            EXPECT_EQ(list.entries()[i].id, c.entries[i].id);
            EXPECT_EQ(list.entries()[i].name, c.entries[i].name);
        }
        ASSERT_EQ(problems.size(), c.problems.size());
        for (std::size_t i = 0; i < c.problems.size(); ++i) {
            EXPECT_EQ(problems[i].line, c.problems[i].line);
            EXPECT_EQ(problems[i].text.rfind(c.problems[i].starts, 0), 0U) << problems[i].text;
        }
        // Saved with nothing changed: the same bytes.
        EXPECT_EQ(list.write(list.entries()), c.text);
    }
}

TEST(TransmitterList, AFileWithoutAnIdColumnIsRefusedWithASentence) {
    for (const char* text : {"", "name,zone\n111111,A\n", "111111,Front door\n"}) {
        std::vector<ListProblem> problems;
        try {
            TransmitterList::parse(text, problems);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("\"id\""), std::string::npos) << e.what();
        }
    }
}

TEST(TransmitterList, ASaveChangesOnlyNamesAndAddsTheNewAtTheEnd) {
    const std::string text =
        "zone;id;name;note\r\n"
        "1;111111;Kitchen;\"keep, this\"\r\n"
        "2;bad;x;y\r\n"
        "3;222222;Hall\r\n"
        "4;111111;Again;z\r\n";
    std::vector<ListProblem> problems;
    const TransmitterList list = TransmitterList::parse(text, problems);
    ASSERT_EQ(problems.size(), 2U);
    const std::string saved = list.write({{0x111111, "Kitchen"},
                                          {0x222222, "Hall; upstairs"},
                                          {0x333333, "Garage"},
                                          {0x444444, ""}});
    EXPECT_EQ(saved,
              "zone;id;name;note\r\n"
              "1;111111;Kitchen;\"keep, this\"\r\n"
              "2;bad;x;y\r\n"
              "3;222222;\"Hall; upstairs\"\r\n"
              "4;111111;Again;z\r\n"
              ";333333;Garage;\r\n"
              ";444444;;\r\n");
    // What was saved reads back as what was given.
    problems.clear();
    const TransmitterList again = TransmitterList::parse(saved, problems);
    ASSERT_EQ(again.entries().size(), 4U);
    EXPECT_EQ(again.entries()[1].name, "Hall; upstairs");
    EXPECT_EQ(again.entries()[2].name, "Garage");
}

TEST(TransmitterList, NamesGainAColumnAndAnEmptyListStartsWithAHeader) {
    std::vector<ListProblem> problems;
    const TransmitterList noNames = TransmitterList::parse("id\n123456", problems);
    EXPECT_EQ(noNames.write({{0x123456, "Porch"}}), "id,name\n123456,Porch");
    EXPECT_EQ(TransmitterList().write({{0xABCDEF, "Shed"}}), "id,name\r\nABCDEF,Shed\r\n");
    EXPECT_EQ(TransmitterList().write({}), "id,name\r\n");
}

}  // namespace
}  // namespace nira::capture
