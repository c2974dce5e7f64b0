#include "viewer_windows.h"

#include "mainview.h"

namespace velmora::viewer {

ViewerWindows::ViewerWindows(MainView& main) : QObject(&main), main_(main) {
  MainView::WindowHooks hooks;
  hooks.open_time_search = [this] { open(time_search_); };
  hooks.open_disk_data_search = [this] { open(disk_data_search_); };
  hooks.open_saved_picture_search = [this] { open(saved_picture_search_); };
  hooks.open_data_copy = [this] { open(data_copy_); };
  hooks.open_picture_save = [this] {
    prepare_picture_work_file(main_.picture_folder(), main_.still_picture());
    // The window shows the work file as it was when it opened: a new
    // picture needs a new window.
    close(picture_save_);
    open(picture_save_);
    close(data_copy_);
  };
  hooks.close_picture_save_and_copy = [this] {
    close(picture_save_);
    close(data_copy_);
  };
  hooks.close_searches = [this] {
    close(disk_data_search_);
    close(saved_picture_search_);
    close(time_search_);
  };
  hooks.close_all = [this] {
    close(picture_save_);
    close(disk_data_search_);
    close(saved_picture_search_);
    close(time_search_);
    close(data_copy_);
  };
  main.set_window_hooks(std::move(hooks));
}

template <typename W>
W* ViewerWindows::open(QPointer<W>& window) {
  // A closed window is on its way out (deleted later): a new one replaces it.
  if (!window || !window->isVisible()) window = new W(main_);
  window->show();
  window->raise();
  window->activateWindow();
  return window;
}

template <typename W>
void ViewerWindows::close(QPointer<W>& window) {
  if (window) window->close();
  window = nullptr;
}

}  // namespace velmora::viewer
