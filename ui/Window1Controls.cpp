// The main window's controls: builder, handlers and named accessors.
#include "Window1.h"

void Window1::CreateControls0() {}

Ref<Label> Window1::Label1() { throw UnsupportedOperationException("Window1.Label1"); }
Ref<Canvas> Window1::Canvas1() { throw UnsupportedOperationException("Window1.Canvas1"); }
Ref<Label> Window1::Label2() { throw UnsupportedOperationException("Window1.Label2"); }
Ref<PopupMenu> Window1::PopupMenu1() { throw UnsupportedOperationException("Window1.PopupMenu1"); }
Ref<Label> Window1::Label3() { throw UnsupportedOperationException("Window1.Label3"); }
Ref<Separator> Window1::Separator1() { throw UnsupportedOperationException("Window1.Separator1"); }
Ref<Separator> Window1::Separator2() { throw UnsupportedOperationException("Window1.Separator2"); }
bool Window1::Label1_MouseDown(Label*, int64_t, int64_t) { return false; }
bool Window1::Label2_MouseDown(Label*, int64_t, int64_t) { return false; }
void Window1::PopupMenu1_Open(PopupMenu*) {}
void Window1::PopupMenu1_Change(PopupMenu*) {}
Ref<MenuItem> Window1::EditMenu() { throw UnsupportedOperationException("Window1.EditMenu"); }
Ref<MenuItem> Window1::EditSelectAll() { throw UnsupportedOperationException("Window1.EditSelectAll"); }
Ref<MenuItem> Window1::UntitledMenu0() { throw UnsupportedOperationException("Window1.UntitledMenu0"); }
Ref<MenuItem> Window1::EditClear() { throw UnsupportedOperationException("Window1.EditClear"); }
Ref<MenuItem> Window1::EditPaste() { throw UnsupportedOperationException("Window1.EditPaste"); }
Ref<MenuItem> Window1::EditCopy() { throw UnsupportedOperationException("Window1.EditCopy"); }
Ref<MenuItem> Window1::EditCut() { throw UnsupportedOperationException("Window1.EditCut"); }
Ref<MenuItem> Window1::UntitledMenu1() { throw UnsupportedOperationException("Window1.UntitledMenu1"); }
Ref<MenuItem> Window1::EditUndo() { throw UnsupportedOperationException("Window1.EditUndo"); }
Ref<MenuItem> Window1::FileMenu() { throw UnsupportedOperationException("Window1.FileMenu"); }
Ref<AppleMenuItem> Window1::About() { throw UnsupportedOperationException("Window1.About"); }
Ref<QuitMenuItem> Window1::FileQuit() { throw UnsupportedOperationException("Window1.FileQuit"); }
