// The transmitters window: the table follows messages by inserting and changing rows (never
// resetting), filters by ID, name or Smart letters, takes names and saves them into the site's
// list without losing what the file had, tells a list's bad lines, runs a walk test by keyboard
// and exports its report; the list last used comes back at the next start.
#include <gtest/gtest.h>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QTableView>
#include <QTest>

#include "../support/scoped_env.hpp"
#include "ui/main_form.hpp"
#include "ui/transmitters_window.hpp"
#include "ui_support.hpp"

namespace nira::ui {
namespace {

using nira::testing::readFile;
using nira::testing::RecordingDesktop;
using nira::testing::TempDir;
using nira::testing::TestRegistry;
using nira::testing::writeFile;

receiver::EventBody event(capture::TransmitterId id, std::uint8_t dt = 0x20) {
    return {0x01,
            static_cast<std::uint8_t>(id >> 16),
            static_cast<std::uint8_t>(id >> 8),
            static_cast<std::uint8_t>(id),
            dt,
            0x00,
            0x12,
            0x34,
            0x56};
}

struct Fixture {
    capture::TransmitterTable table;
    TransmittersWindow window{table};
    capture::TimePoint clock = capture::WallClock::now();

    Fixture() {
        window.model().now = [this] { return clock; };
    }
    void hear(capture::TransmitterId id, std::uint8_t dt = 0x20) {
        window.heard(table.onEvent(event(id, dt), clock));
    }
    QStringList shownIds() const {
        QStringList ids;
        const QAbstractItemModel* shown = window.view()->model();
        for (int row = 0; row < shown->rowCount(); ++row) {
            ids << shown->index(row, TransmitterModel::ColId).data().toString();
        }
        return ids;
    }
};

TEST(TransmittersWindow, MessagesInsertAndChangeRowsAndNeverResetTheModel) {
    RecordingDesktop desktop;
    Fixture f;
    f.window.show();
    int inserted = 0;
    QObject::connect(
        &f.window.model(), &QAbstractItemModel::rowsInserted,
        [&](const QModelIndex&, int first, int last) { inserted += last - first + 1; });
    QSignalSpy changed(&f.window.model(), &QAbstractItemModel::dataChanged);
    QSignalSpy reset(&f.window.model(), &QAbstractItemModel::modelReset);
    f.hear(0x111111);
    f.hear(0x222222);
    f.hear(0x111111);  // a repeat
    f.clock += std::chrono::seconds(3);
    f.hear(0x111111, 0x30);
    // Shown at once after a quiet spell, a burst within half a second: rows inserted, then
    // changed.
    ASSERT_TRUE(nira::testing::waitUntil([&] { return f.shownIds().size() == 2; }));
    EXPECT_EQ(reset.count(), 0);
    EXPECT_EQ(f.shownIds(), (QStringList{"111111", "222222"}));
    f.hear(0x222222, 0x31);
    ASSERT_TRUE(nira::testing::waitUntil([&] { return changed.count() > 0; }));
    EXPECT_EQ(inserted, 2);
    const QAbstractItemModel* shown = f.window.view()->model();
    EXPECT_EQ(shown->index(0, TransmitterModel::ColMessages).data().toString(), "2");
    EXPECT_EQ(shown->index(0, TransmitterModel::ColRepeats).data().toString(), "1");
    EXPECT_EQ(shown->index(0, TransmitterModel::ColDt).data().toString(), "30");
    EXPECT_EQ(shown->index(0, TransmitterModel::ColState).data().toString(), "heard (not listed)");
    // Sorted by messages, most first, the sort follows a change.
    f.window.view()->sortByColumn(TransmitterModel::ColMessages, Qt::DescendingOrder);
    f.hear(0x222222, 0x40);
    f.hear(0x222222, 0x41);
    EXPECT_TRUE(nira::testing::waitUntil([&] {
        return f.shownIds() == QStringList{"222222", "111111"};
    }));
    EXPECT_TRUE(desktop.messages.empty());
}

TEST(TransmittersWindow, TheFilterFindsByIdNameOrSmartLetters) {
    RecordingDesktop desktop;
    Fixture f;
    f.table.applyList({{0x111111, "Front door"}, {0x900000, "Garage"}, {0xABCDEF, "Loft"}});
    f.window.model().reload();
    const struct {
        const char* typed;
        QStringList ids;
    } cases[]{
        {"", {"111111", "900000", "ABCDEF"}},
        {"front", {"111111"}},
        {"abcd", {"ABCDEF"}},
        {"fdhh", {"900000"}},
        {"  GARAGE ", {"900000"}},
        {"nothing", {}},
    };
    for (const auto& c : cases) {
        f.window.filter()->setText(c.typed);
        EXPECT_EQ(f.shownIds(), c.ids) << c.typed;
    }
}

TEST(TransmittersWindow, ANameGivenInTheTableIsSavedIntoTheListWithAllItHad) {
    RecordingDesktop desktop;
    TempDir dir;
    const std::string had = "zone;id;name;note\r\n1;111111;Hall;\"a; b\"\r\n2;bad;x;y\r\n";
    writeFile(dir / "site.csv", had);
    Fixture f;
    QStringList used;
    f.window.listUsed = [&](const QString& path) { used << path; };
    const QString path = QString::fromStdString((dir / "site.csv").string());
    ASSERT_TRUE(f.window.OpenList(path));
    ASSERT_EQ(desktop.messages.size(), 1U);
    EXPECT_NE(desktop.messages[0].find("Line 3: \"bad\" is not a transmitter ID"),
              std::string::npos)
        << desktop.messages[0];
    f.hear(0x222222);
    f.window.model().flush();
    const QModelIndex name = f.window.model().index(1, TransmitterModel::ColName);
    ASSERT_TRUE(f.window.model().setData(name, " Kitchen ", Qt::EditRole));
    EXPECT_EQ(f.window.model().index(1, TransmitterModel::ColState).data().toString(), "heard");
    f.window.SaveListClick();
    EXPECT_EQ(readFile(dir / "site.csv"), had + ";222222;Kitchen;\r\n");
    EXPECT_EQ(used, (QStringList{path, path}));
    // A list that is no list is refused with its name, and the table stays.
    writeFile(dir / "other.csv", "name\nx\n");
    EXPECT_THROW(f.window.OpenList(QString::fromStdString((dir / "other.csv").string())),
                 std::runtime_error);
    EXPECT_EQ(f.table.rows().size(), 2U);
}

TEST(TransmittersWindow, AWalkTestByKeyboardShowsItsProgressAndExportsItsReport) {
    RecordingDesktop desktop;
    TempDir dir;
    const nira::testing::ScopedEnv answer("NIRA7_FILE_ANSWER", (dir / "walk.csv").string());
    Fixture f;
    f.table.applyList({{0x111111, "Front door"}, {0x222222, "Back door"}});
    f.window.model().reload();
    f.window.ShowTransmitters();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f.window));
    auto* progress = f.window.findChild<QLabel*>("WalkProgress");
    EXPECT_EQ(progress->text(), "Walk test: not started");
    f.window.walkLimit()->setValue(10);
    QTest::keyClick(&f.window, Qt::Key_F5);
    ASSERT_TRUE(f.table.walk().running());
    // The unheard first: sorted by the walk column.
    f.clock += std::chrono::seconds(65);
    f.hear(0x222222);
    // Shown within a moment, not at each message.
    const QString heard = "Walk test: 1 of 2 heard · 1 min 5 s, 8 min 55 s left";
    EXPECT_TRUE(nira::testing::waitUntil([&] { return progress->text() == heard; }))
        << progress->text().toStdString();
    EXPECT_EQ(f.shownIds(), (QStringList{"111111", "222222"}));
    EXPECT_FALSE(f.window.findChild<QPushButton*>("StartWalk")->isEnabled());
    QTest::keyClick(&f.window, Qt::Key_F5);
    EXPECT_FALSE(f.table.walk().running());
    EXPECT_EQ(progress->text(), "Walk test stopped: 1 of 2 heard");
    QTest::keyClick(&f.window, Qt::Key_E, Qt::ControlModifier);
    const std::string report = readFile(dir / "walk.csv");
    EXPECT_EQ(report.substr(0, report.find("\r\n")),
              "id,smart,name,walk_test,walk_first_heard,walk_messages,messages,repeats,"
              "first_heard,last_heard,st,dt,d1,xxxx,cs");
    EXPECT_NE(report.find("\r\n111111,HDHDHDHDHDHD,Front door,not heard,"), std::string::npos);
    EXPECT_NE(readFile(dir / "walk.txt").find("1 of 2 expected transmitters heard."),
              std::string::npos);
    EXPECT_TRUE(desktop.messages.empty());
}

TEST(TransmittersWindow, TheListLastUsedIsOpenedAtTheNextStart) {
    RecordingDesktop desktop;
    // A port listed: Windows has no port key without one, and the window says so.
    TestRegistry registry({"COM7"});
    TempDir dir;
    writeFile(dir / "site.csv", "id,name\n111111,Hall\n");
    {
        TMainForm form(platform::systemSerialApi(), registry.api());
        form.Transmitters().OpenList(QString::fromStdString((dir / "site.csv").string()));
    }
    TMainForm form(platform::systemSerialApi(), registry.api());
    QCoreApplication::processEvents();
    ASSERT_EQ(form.TransmitterTable().rows().size(), 1U)
        << ::testing::PrintToString(desktop.messages);
    EXPECT_EQ(form.TransmitterTable().rows()[0].name, "Hall");
    // Ctrl+T shows the window.
    form.show();
    QTest::keyClick(&form, Qt::Key_T, Qt::ControlModifier);
    EXPECT_TRUE(form.Transmitters().isVisible());
    EXPECT_TRUE(desktop.messages.empty()) << desktop.messages.front();
}

}  // namespace
}  // namespace nira::ui
