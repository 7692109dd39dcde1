"""The program's accessibility tree as a screen reader gets it over AT-SPI.

Run under a virtual display and a D-Bus session (atspi_tree_test.sh does
that). Starts the program on a saved three-column table, then checks the
names of the picture buttons, the indicators with their state, the status
panels' texts, the table's cells and the labels of the boxes; opens the
table's editor and reads it inside its cell, and closes it three ways with
no other control taking the focus meanwhile; presses the about button and
the exit button through their actions. Prints what it saw.

Usage: atspi_tree.py PROGRAM
Exit status: 0 passed, 1 failed, 77 skipped (no working AT-SPI).
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

MAIN_TITLE = "Rilvet-48 программа управления драйвером hc595"
HINTS = [
    "Старт (включение порта) / Пауза", "Стоп (отключение порта)", "Настройка входов",
    "Вход 1 - ручное управление", "Вход 2 - ручное управление", "Вход 3 - ручное управление",
    "Очистить таблицу", "Справка", "Об авторах", "Выход",
]
STOPPED = "Порт отключен - связи нет"

failures = []


def skip(reason):
    print("SKIP: " + reason)
    sys.exit(77)


def check(condition, what):
    print(("ok    " if condition else "FAIL  ") + what)
    if not condition:
        failures.append(what)


def wait_for(probe, seconds=30.0):
    """probe() until it gives something true; that value, or None."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            value = probe()
        except Exception:  # the tree may change under a walk
            value = None
        if value:
            return value
        time.sleep(0.2)
    return None


def table_file():
    """Column 0: channel 1 on; column 1: all off; column 2: channel 2 on."""
    lines = []
    for k in range(1, 49):
        bits = ("1" if k == 1 else "0") + "0" + ("1" if k == 2 else "0")
        lines.append(("%02dй канал " % k + bits).encode("cp1251"))
    lines.append("Скорость 250".encode("cp1251"))
    return b"".join(line + b"\r\n" for line in lines)


def children(acc):
    for i in range(acc.childCount):
        child = acc.getChildAtIndex(i)
        if child is not None:
            yield child


def walk(acc, found):
    """Every accessible under acc, not into the table's cells or lists."""
    found.append(acc)
    if acc.getRoleName() in ("table", "list", "combo box"):
        return found
    for child in children(acc):
        walk(child, found)
    return found


def text_of(acc):
    try:
        return acc.queryText().getText(0, -1)
    except NotImplementedError:
        return None


def pump(seconds):
    """Lets the AT-SPI events of the next `seconds` arrive."""
    from gi.repository import GLib
    context = GLib.MainContext.default()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        while context.pending():
            context.iteration(False)
        time.sleep(0.01)


def key(*keys):
    subprocess.run(["xdotool", "key", "--delay", "50"] + list(keys), check=True)
    pump(0.5)


def check_editor(pyatspi, table, t, cell):
    """The chosen cell (channel 3, step 3, holding "1") and its editor."""
    print("\n-- the editor")
    focused = []

    def on_focus(event):
        if event.detail1 == 1:
            focused.append("%s %r" % (event.source.getRoleName(), event.source.name))

    pyatspi.Registry.registerEventListener(on_focus, "object:state-changed:focused")
    pump(0.5)
    key("F2")
    editor = wait_for(lambda: cell.getChildAtIndex(0) if cell.childCount == 1 else None, 5)
    check(editor is not None, "the open editor is the cell's child")
    if editor is not None:
        print("  " + line(editor, " text=%r caret=%d parent=%s" % (
            text_of(editor), editor.queryText().caretOffset, editor.parent.getRoleName())))
        check(editor.getRoleName() == "text" and editor.parent == cell and
              editor.getIndexInParent() == 0, "the editor's parent is the cell it edits")
        check(text_of(editor) == "1", "the editor reads the cell's text")
        x, y, w, h = editor.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        at_table = table.queryComponent().getAccessibleAtPoint(x + w // 2, y + h // 2,
                                                                pyatspi.DESKTOP_COORDS)
        at_cell = cell.queryComponent().getAccessibleAtPoint(x + w // 2, y + h // 2,
                                                              pyatspi.DESKTOP_COORDS)
        print("  at the editor's centre: from the table %s, from the cell %s" % (
            at_table.getRoleName() if at_table else None, at_cell.getRoleName() if at_cell else None))
        check(at_table == editor and at_cell == editor, "a point over the editor finds the editor")
        key("End", "a", "b")
        check(wait_for(lambda: text_of(editor) == "1ab" and editor.queryText().caretOffset == 3, 5)
              is not None, "typing shows in the editor's text and caret")

    # Each key closes the editor: Escape for good, Enter and Ctrl+M to open
    # it again on the next step.
    del focused[:]
    key("Escape")
    check(cell.childCount == 0 and cell.name == "1", "Escape closes the editor, the text restored")
    key("F2")
    key("Return")
    check(cell.childCount == 0 and t.getAccessibleAt(3, 3).childCount == 1,
          "Enter moves the editor to step 4")
    key("ctrl+m")
    check(t.getAccessibleAt(3, 3).childCount == 0, "Ctrl+M moves it on")
    key("Escape")
    print("  focused while editing: " + "; ".join(focused))
    check(all(f.split(" ")[0] in ("table", "table cell", "text") for f in focused),
          "no other control takes the focus when the editor closes")
    pyatspi.Registry.deregisterEventListener(on_focus, "object:state-changed:focused")


def states(acc):
    import pyatspi
    names = {pyatspi.STATE_FOCUSABLE: "focusable", pyatspi.STATE_CHECKED: "checked",
             pyatspi.STATE_SELECTED: "selected", pyatspi.STATE_FOCUSED: "focused"}
    state = acc.getState()
    return [name for key, name in names.items() if state.contains(key)]


def line(acc, extra=""):
    description = acc.description
    return "%-12s name=%r%s%s%s" % (
        acc.getRoleName(), acc.name, " description=%r" % description if description else "",
        " states=" + ",".join(states(acc)) if states(acc) else "", extra)


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    try:
        import pyatspi
    except ImportError:
        skip("no pyatspi for %s (Debian package python3-pyatspi)" % sys.executable)
    try:
        pyatspi.Registry.getDesktop(0).childCount
    except Exception as e:  # no accessibility bus or registry
        skip("the AT-SPI registry does not answer: %s" % e)

    work = tempfile.mkdtemp(prefix="rilvet-atspi-")
    with open(os.path.join(work, "Rilvet_код.txt"), "wb") as f:
        f.write(table_file())
    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", HOME=work)
    env.pop("QT_QPA_PLATFORM", None)
    program = subprocess.Popen([os.path.abspath(sys.argv[1])], cwd=work, env=env)
    try:
        return inspect(pyatspi, program)
    finally:
        if program.poll() is None:
            program.kill()
            program.wait()
        subprocess.run(["rm", "-rf", work], check=False)


def inspect(pyatspi, program):
    def find_app():
        for app in children(pyatspi.Registry.getDesktop(0)):
            if app.get_process_id() == program.pid:
                return app
        return None

    app = wait_for(find_app)
    if app is None:
        skip("the program did not appear on the accessibility bus")
    window = wait_for(lambda: next((w for w in children(app) if w.name == MAIN_TITLE), None))
    check(window is not None, "main window %r" % MAIN_TITLE)
    if window is None:
        return 1

    # The saved table is revealed one column a tick.
    def revealed():
        table = next(a for a in walk(window, []) if a.getRoleName() == "table")
        return table if table.queryTable().nColumns == 4 else None

    table = wait_for(revealed, 15)
    check(table is not None, "table revealed to 4 columns")
    nodes = walk(window, [])
    by_role = {}
    for acc in nodes:
        by_role.setdefault(acc.getRoleName(), []).append(acc)

    print("\n-- buttons")
    buttons = by_role.get("push button", [])
    for b in buttons:
        action = b.queryAction()
        print("  " + line(b, " actions=" + ",".join(action.getName(i) for i in range(action.nActions))))
    check(sorted(b.name for b in buttons) == sorted(HINTS), "the ten buttons are named by their hints")
    check(all("focusable" in states(b) for b in buttons), "every button takes the keyboard focus")
    check(all(b.queryAction().getName(0) == "Press" for b in buttons), "every button can be pressed")

    print("\n-- indicators")
    indicators = [a for a in by_role.get("label", []) if a.name.startswith("Индикатор ")]
    for acc in indicators[:3] + indicators[-1:]:
        print("  " + line(acc))
    check([a.name for a in indicators] == ["Индикатор %d выхода" % n for n in range(1, 49)],
          "48 indicators, \"Индикатор n выхода\" in order")
    check(all(a.description == "выключен" for a in indicators), "every indicator says it is off")

    print("\n-- status panels")
    status = by_role.get("status bar", [None])[0]
    panels = [a for a in children(status) if a.getRoleName() == "label"] if status else []
    for acc in panels:
        print("  " + line(acc))
    check(len(panels) == 3 and panels[1].name == STOPPED, "status panel 1 reads %r" % STOPPED)

    print("\n-- boxes")
    for acc in by_role.get("text", []) + by_role.get("combo box", []) + by_role.get("progress bar", []):
        labels = [r.getTarget(i).name for r in acc.getRelationSet()
                  if r.getRelationType() == pyatspi.RELATION_LABELLED_BY
                  for i in range(r.getNTargets())]
        print("  " + line(acc, " labelled-by=%r" % labels if labels else ""))
    edits = [a for a in by_role.get("text", []) if a.name == "Скорость перебора столбцов"]
    check(len(edits) == 1 and edits[0].queryText().getText(0, -1) == "250",
          "the interval box is named by its hint and holds 250")
    combos = by_role.get("combo box", [])
    check(len(combos) == 1 and combos[0].description == "Найденные COM-порты",
          "the port box carries its hint")
    check(bool(combos) and any(r.getRelationType() == pyatspi.RELATION_LABELLED_BY and
                               r.getTarget(0).name == "Порт" for r in combos[0].getRelationSet()),
          "the port box is labelled by \"Порт\"")

    print("\n-- table")
    t = table.queryTable() if table else None
    if t:
        print("  " + line(table, " rows=%d columns=%d" % (t.nRows, t.nColumns)))
        cells = {}
        for row, col in ((0, 0), (1, 0), (2, 0), (1, 1), (5, 1), (48, 1), (1, 2), (2, 2), (3, 3)):
            cell = t.getAccessibleAt(row, col)
            cells[(row, col)] = cell.name
            print("  row %2d column %d: %s" % (row, col, line(cell)))
        check(table.name == "Таблица данных" and t.nRows == 49, "the table: 49 rows, its hint for a name")
        check(cells[(1, 0)] == "1" and cells[(2, 2)] == "1" and cells[(5, 1)] == "0" and
              cells[(48, 1)] == "0" and cells[(2, 0)] == "" and cells[(3, 3)] == "",
              "the cells read as the saved table")
        check(t.getAccessibleAt(0, 0).getRoleName() == "table column header",
              "row 0 is the header row")
        check([t.getAccessibleAt(0, c).name for c in range(4)] == ["1", "2", "3", "4"],
              "the header cells are named by their steps")
        check(text_of(t.getAccessibleAt(1, 0)) == "1" and text_of(t.getAccessibleAt(5, 1)) == "0",
              "the cells offer their text")

    # The pointer, as a user moves it: a click on a cell chooses it (status
    # panel 0 shows its column), resting on a button shows its hint in
    # panel 2; what the screen reader is told follows.
    if shutil.which("xdotool") and t and len(panels) == 3:
        def click(acc, button=True):
            x, y, w, h = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
            args = ["xdotool", "mousemove", str(x + w // 2), str(y + h // 2)]
            subprocess.run(args + (["click", "1"] if button else []), check=True)

        cell = t.getAccessibleAt(3, 2)
        click(cell)
        check(wait_for(lambda: panels[0].name == "Позиция 3", 5) is not None,
              "a click on column 3 shows \"Позиция 3\" in status panel 0")
        check(wait_for(lambda: {"selected", "focused"} <= set(states(cell)), 5) is not None,
              "the clicked cell is selected and focused")
        check(wait_for(lambda: cell.name == "1", 5) is not None,
              "choosing the empty cell put \"1\" in it, and its name says so")
        exit_button = next((b for b in buttons if b.name == "Выход"), None)
        if exit_button:
            click(exit_button, button=False)
        check(wait_for(lambda: panels[2].name == "Выход", 5) is not None,
              "resting on \"Выход\" shows its hint in status panel 2")
        print("\n-- after a click on channel 3 in column 3, the pointer resting on \"Выход\"")
        for acc in panels:
            print("  " + line(acc))
        print("  row  3 column 2: " + line(cell))
        check_editor(pyatspi, table, t, cell)
    else:
        print("(no xdotool: the pointer checks are left out)")

    # The about button through its action: the about box comes up.
    about = next((b for b in buttons if b.name == "Об авторах"), None)
    if about:
        about.queryAction().doAction(0)
    box = wait_for(lambda: next((w for w in children(app) if w.name == "Об авторах"), None), 10)
    check(box is not None, "pressing \"Об авторах\" shows the about box")
    exit_button = next((b for b in buttons if b.name == "Выход"), None)
    if exit_button:
        exit_button.queryAction().doAction(0)
    try:
        code = program.wait(20)
    except subprocess.TimeoutExpired:
        code = None
    check(code == 0, "pressing \"Выход\" ends the program (status %r)" % code)

    print("\n%d checks failed" % len(failures) if failures else "\nall checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
