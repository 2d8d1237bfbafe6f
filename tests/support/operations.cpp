#include "support/operations.h"

#include <algorithm>

#include "fileops/file_format.h"
#include "fileops/file_operations.h"
#include "filestream/notify.h"

RunResult RunOp(Op op, IMainWindow& window) {
    return op == Op::Encrypt ? EncryptFile(window) : DecryptFile(window);
}

RunResult RunPresented(Op op, HeadlessWindow& window) {
    SetMessagePresenter(&window);
    RunResult result = RunOp(op, window);
    SetMessagePresenter(nullptr);
    return result;
}

const char* OpName(Op op) {
    return op == Op::Encrypt ? "Encrypt" : "Decrypt";
}

Bytes InputFor(Op op, std::size_t n, std::uint32_t seed) {
    Bytes bytes = RandomBytes(n, seed);
    if (op == Op::Decrypt && n >= EncryptedFileMarker.size()) {
        std::copy(EncryptedFileMarker.begin(), EncryptedFileMarker.end(), bytes.begin());
    }
    return bytes;
}
