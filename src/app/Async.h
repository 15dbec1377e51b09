#pragma once

#include <QObject>
#include <QPointer>
#include <functional>
#include <thread>
#include <type_traits>
#include <utility>

namespace corvane::app {

/// Runs `callback` on the GUI thread on a later turn of its event loop, unless `receiver` has
/// been destroyed by then. Callable from any thread.
void postToGui(const QPointer<QObject>& receiver, std::function<void()> callback);

/// The one way the application runs work off the window's thread: `task` runs on a thread of
/// its own, then `callback` runs on the GUI thread with its result; if `receiver` is
/// destroyed meanwhile, the callback is skipped. Whatever touches the disk at length or waits
/// on a child (reports, export, the vault's installer and removal, uninstall) goes through
/// here, so the window keeps painting.
///
/// Each task gets a thread of its own rather than a pool's: a task may wait for the owner to
/// answer the system's password prompt, and quitting must not wait for that answer.
template <class Task, class Callback>
void runThenCallback(QObject* receiver, Task task, Callback callback) {
    QPointer<QObject> guard(receiver);
    std::thread([guard, task = std::move(task), callback = std::move(callback)]() mutable {
        if constexpr (std::is_void_v<std::invoke_result_t<Task&>>) {
            task();
            postToGui(guard, std::move(callback));
        } else {
            auto result = task();
            postToGui(guard,
                      [callback = std::move(callback), result = std::move(result)]() mutable {
                          callback(std::move(result));
                      });
        }
    }).detach();
}

} // namespace corvane::app
