#pragma once

#include <QObject>
#include <QTimer>

class VantelModel;
class VisionService;

// Gives memory back while Vantel waits in the tray. Once the panel has been
// away for a while, the editor returns to its empty state (as after New:
// the image, its analysis and its result go) and the vision service lets go
// of its networks and buffers; they load again when the panel comes back or
// an image arrives. While the panel is away an analysis keeps no working
// buffer after it ends; while it is up, the buffer stays for the next one.
class IdleRelease final : public QObject
{
    Q_OBJECT

public:
    // Two minutes, or VANTEL_RELEASE_DELAY_MS milliseconds where that is set.
    static int delayMs();

    IdleRelease(VantelModel* model, VisionService* vision, int delayMs = IdleRelease::delayMs(),
                QObject* parent = nullptr);

    // Follows the panel: up, the networks start loading; away, the delay
    // starts.
    void panelShown(bool shown);

signals:
    // The editor was emptied and the networks let go of.
    void released();

private:
    void release();

    VantelModel* m_model;
    VisionService* m_vision;
    QTimer m_timer;
};
