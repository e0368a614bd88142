#include "NetworkRunner.h"

#include "OpenCvNetwork.h"
#ifdef VANTEL_WITH_ONEDNN
#include "DnnlNetwork.h"
#endif

#include <new>
#include <opencv2/core.hpp>

std::unique_ptr<NetworkRunner> NetworkRunner::load(const QString& path)
{
#ifdef VANTEL_WITH_ONEDNN
    QString why;
    try {
        return DnnlNetwork::build(OnnxGraph::read(path));
    } catch (const MalformedModel&) {
        // OpenCV's reader takes the same values on trust: not handed on.
        throw;
    } catch (const UnsupportedGraph& e) {
        why = QStringLiteral("oneDNN does not run %1").arg(QString::fromStdString(e.what()));
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        why = QString::fromStdString(e.what());
    }
    return std::make_unique<OpenCvNetwork>(path, why);
#else
    return std::make_unique<OpenCvNetwork>(path, QStringLiteral("built without oneDNN"));
#endif
}

void NetworkRunner::checkFinite(const std::vector<cv::Mat>& outputs)
{
    for (const cv::Mat& out : outputs) {
        if (out.depth() == CV_32F && !cv::checkRange(out, true))
            CV_Error(cv::Error::StsOutOfRange, "the network gave values that are not numbers");
    }
}
