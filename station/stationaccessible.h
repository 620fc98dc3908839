#ifndef STATIONACCESSIBLE_H
#define STATIONACCESSIBLE_H

#include <QStringList>
#include <QWidget>

#include <array>

class QLabel;

// What the station window's own widgets are to a screen reader: the grid of
// bays a list, each tile an item of it (spoken as its name alone), each
// bay's progress a progress bar named by its bay, and the announcer's texts
// notifications. Installed once, before the first of them is shown.
void installStationAccessibility();

// Says a text to a screen reader without moving the focus. Orca 43 with Qt
// 6.4 speaks a child of the notification role as it is shown, and nothing
// else that changes away from the focus (docs/accessibility.md has what was
// measured). Each text gets a label of its own, a few in turn, so that two
// said at once are each spoken with their own words.
class Announcer : public QWidget
{
    Q_OBJECT

public:
    explicit Announcer(QWidget *parent = nullptr);
    void say(const QString &text);
    // What it has said, the latest last, as many as it has labels.
    QStringList said() const;

private:
    std::array<QLabel *, 4> labels{};
    size_t next = 0;
};

#endif
