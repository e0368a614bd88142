#include "NetworkRunner.h"

#include "OpenCvNetwork.h"
#ifdef VANTEL_WITH_ONEDNN
#include "DnnlNetwork.h"
#endif

std::unique_ptr<NetworkRunner> NetworkRunner::load(const QString& path)
{
#ifdef VANTEL_WITH_ONEDNN
    QString why;
    try {
        return DnnlNetwork::build(OnnxGraph::read(path));
    } catch (const UnsupportedGraph& e) {
        why = QStringLiteral("oneDNN does not run %1").arg(QString::fromStdString(e.what()));
    } catch (const std::runtime_error& e) {
        why = QString::fromStdString(e.what());
    }
    return std::make_unique<OpenCvNetwork>(path, why);
#else
    return std::make_unique<OpenCvNetwork>(path, QStringLiteral("built without oneDNN"));
#endif
}
