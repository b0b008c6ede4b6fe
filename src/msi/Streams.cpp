#include "msi/Streams.h"

#include <memory>

#include "frame/Exception.h"
#include "frame/HResult.h"
#include "frame/Session.h"
#include "msi/Database.h"

namespace setup {

namespace {

std::shared_ptr<Record> FetchStreamRow(const wchar_t* query, const std::wstring& name) {
    std::shared_ptr<View> view = OpenSessionView(query);
    view->Execute(Record(name));
    return view->Fetch();
}

}  // namespace

void ExtractStream(const std::wstring& name, const std::wstring& path) {
    const std::shared_ptr<Record> row = FetchStreamRow(L"SELECT `Name`, `Data` FROM `_Streams` WHERE `Name` = ?", name);
    if (!row) {
        throw Exception(hresult::InvalidHandle, L"Failed to extract stream: " + name, std::wstring());
    }
    row->WriteStreamToFile(path);
}

std::vector<uint8_t> ReadBinary(const std::wstring& name) {
    if (name.empty()) {
        return {};
    }
    const std::shared_ptr<Record> row = FetchStreamRow(L"SELECT `Name`, `Data` FROM `Binary` WHERE `Name` = ?", name);
    if (!row) {
        throw Exception(hresult::InvalidHandle, L"Failed to extract from binary: " + name, std::wstring());
    }
    return row->ReadStream();
}

}  // namespace setup
