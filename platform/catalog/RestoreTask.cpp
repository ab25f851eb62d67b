#include "platform/catalog/RestoreTask.h"

#include "platform/catalog/Catalog.h"

EvTask::~EvTask() = default;

int EvTask::getXMLOptions(std::string& xml, void*) {
    platform::catalog::Catalog* catalog = nullptr;
    platform::Status status = m_runtime.catalog(catalog);
    if (status.ok()) status = catalog->getJobOptions(m_jobId, xml);
    if (status.ok()) return 0;
    m_runtime.log().writeLine("ERROR", "getXMLOptions", status.message);
    return status.code == platform::Status::Code::NotFound ? 1168 : 1627;
}

int EvTask::setXMLOptions(const std::string& xml) {
    platform::catalog::Catalog* catalog = nullptr;
    platform::Status status = m_runtime.catalog(catalog);
    if (status.ok()) status = catalog->setJobOptions(m_jobId, xml);
    if (status.ok()) return 0;
    m_runtime.log().writeLine("ERROR", "setXMLOptions", status.message);
    return 1627;
}
