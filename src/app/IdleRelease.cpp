#include "IdleRelease.h"

#include "AllocatorTuning.h"
#include "VantelModel.h"
#include "VisionService.h"

int IdleRelease::delayMs()
{
    bool ok = false;
    const int fromEnvironment = qEnvironmentVariableIntValue("VANTEL_RELEASE_DELAY_MS", &ok);
    return ok && fromEnvironment >= 0 ? fromEnvironment : 2 * 60 * 1000;
}

IdleRelease::IdleRelease(VantelModel* model, VisionService* vision, int delayMs, QObject* parent)
    : QObject(parent), m_model(model), m_vision(vision)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(delayMs);
    // A wait of minutes needs no precision, and wakes the process once.
    m_timer.setTimerType(delayMs >= 10000 ? Qt::VeryCoarseTimer : Qt::CoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, &IdleRelease::release);
}

void IdleRelease::panelShown(bool shown)
{
    m_vision->keepWorkingMemory(shown);
    if (shown) {
        m_timer.stop();
        m_vision->prepare();
    } else {
        m_timer.start();
    }
}

void IdleRelease::release()
{
    // An image still being decoded or analysed (a very large one, or the
    // networks still loading) is let finish: try again after another delay.
    if (m_model->isOpening() || m_model->isProcessing()) {
        m_timer.start();
        return;
    }
    m_model->reset();
    if (!m_vision->release()) {
        m_timer.start();
        return;
    }
    // The editor's images were freed into the heap: hand them back too.
    releaseFreedMemory();
    emit released();
}
