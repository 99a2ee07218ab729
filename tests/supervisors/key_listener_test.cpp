#include "supervisors/key_listener.hpp"
#include "support/sql_rows.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(Supervisors, StoreSkipsKeyEventsAndTheKeyListenerPublishesUntilStopped) {
    TempDir dir;
    Env env = detect_env(dir.path(), false);
    EventBus bus;
    EventDB db{(dir / "events.sqlite3").native()};
    InsertionBuffer ibuf;
    KeyListener keys{bus, db, ibuf, env};
    KeyEvent key;
    key.type = BaseEvent::Types::KEY_EVENT;
    FileEvent file;
    file.type = BaseEvent::Types::FILE_EVENT;
    VSCodeEvent editor;
    editor.type = BaseEvent::Types::VSCODE_EVENT;
    for (Event const& event : {Event{key}, Event{file}, Event{editor}}) {
        EXPECT_TRUE(keys.store(event));
    }
    EXPECT_EQ(sql_rows(dir / "events.sqlite3",
                       "SELECT (SELECT COUNT(*) FROM file_events), "
                       "(SELECT COUNT(*) FROM vscode_events)")[0],
              (SqlRow{"1", "1"}));

    std::atomic<int> seen{0};
    bus.subscribe(BaseEvent::Types::KEY_EVENT, [&](Event event) {
        EXPECT_EQ(std::get<KeyEvent>(event).keycode, 0);
        if (++seen == 100) {
            keys.stop();
        }
    });
    testing::internal::CaptureStdout();
    keys.start();
    ASSERT_TRUE(bus.drain(5s));
    keys.handle(Event{FileEvent{}});
    keys.stop();
    keys.start();  // stopped: returns at once
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[KeyListener] started\n[KeyListener] stopped\n[KeyListener] handler triggered\n"
              "[KeyListener] stopped\n[KeyListener] started\n");
    EXPECT_GE(seen.load(), 100);
    EXPECT_FALSE(keys.should_run());
}
