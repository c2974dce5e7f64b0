// The viewer's other windows as the main window opens and closes them: the
// time search, the recorded data copy, the two data search windows and the
// picture save window. Each is made when opened and goes when closed;
// opening one that is shown brings it to the front.
#pragma once
#include <QObject>
#include <QPointer>

#include "data_copy.h"
#include "data_search.h"
#include "picture_save.h"
#include "time_search.h"

namespace velmora::viewer {

class MainView;

class ViewerWindows : public QObject {
  Q_OBJECT
 public:
  // Sets the main window's window hooks; lives as long as the main window.
  explicit ViewerWindows(MainView& main);

  TimeSearch* time_search() const { return time_search_; }
  RDataCopy* data_copy() const { return data_copy_; }
  RDataSearch* disk_data_search() const { return disk_data_search_; }
  SDataSearch* saved_picture_search() const { return saved_picture_search_; }
  PicSave* picture_save() const { return picture_save_; }

 private:
  template <typename W>
  W* open(QPointer<W>& window);
  template <typename W>
  static void close(QPointer<W>& window);

  MainView& main_;
  QPointer<TimeSearch> time_search_;
  QPointer<RDataCopy> data_copy_;
  QPointer<RDataSearch> disk_data_search_;
  QPointer<SDataSearch> saved_picture_search_;
  QPointer<PicSave> picture_save_;
};

}  // namespace velmora::viewer
