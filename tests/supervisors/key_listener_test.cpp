#include "supervisors/key_listener.hpp"
#include "support/sql_rows.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

class Supervisors : public testing::Test {
protected:
    TempDir dir;
    Env env = detect_env(dir.path(), false);
    EventBus bus;
    EventDB db{(dir / "events.sqlite3").native()};
    InsertionBuffer ibuf;
    KeyListener keys{bus, db, ibuf, env};
};

TEST_F(Supervisors, StoreWritesFileAndEditorEventsButNeverKeyEvents) {
    KeyEvent key;
    key.type = BaseEvent::Types::KEY_EVENT;
    EXPECT_TRUE(keys.store(Event{key}));
    FileEvent file;
    file.type = BaseEvent::Types::FILE_EVENT;
    EXPECT_TRUE(keys.store(Event{file}));
    VSCodeEvent editor;
    editor.type = BaseEvent::Types::VSCODE_EVENT;
    EXPECT_TRUE(keys.store(Event{editor}));
    auto const db_path = dir / "events.sqlite3";
    EXPECT_EQ(sql_rows(db_path, "SELECT COUNT(*) FROM file_events")[0][0], "1");
    EXPECT_EQ(sql_rows(db_path, "SELECT COUNT(*) FROM vscode_events")[0][0], "1");
}

TEST_F(Supervisors, KeyListenerStoppedBeforeStartReturnsAtOnce) {
    EXPECT_TRUE(keys.should_run());
    testing::internal::CaptureStdout();
    keys.stop();
    keys.stop();
    keys.start();
    keys.handle(Event{FileEvent{}});
    std::string const out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(keys.should_run());
    EXPECT_EQ(out,
              "[KeyListener] stopped\n[KeyListener] stopped\n[KeyListener] started\n"
              "[KeyListener] handler triggered\n");
}

TEST_F(Supervisors, KeyListenerPublishesUntilStopped) {
    std::atomic<int> seen{0};
    bus.subscribe(BaseEvent::Types::KEY_EVENT, [&](Event event) {
        EXPECT_EQ(std::get<KeyEvent>(event).keycode, 0);
        if (++seen == 100) {
            keys.stop();
        }
    });
    testing::internal::CaptureStdout();
    keys.start();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(bus.drain(5s));
    EXPECT_GE(seen.load(), 100);
}
