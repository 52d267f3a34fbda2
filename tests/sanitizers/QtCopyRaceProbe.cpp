// Qt copies a buffer of ours (QByteArray from bytes) while one of our threads writes
// it, with nothing between them: a data race inside a Qt call, which a ThreadSanitizer
// build must report whatever its suppressions leave out of Qt's own code.
#include <QByteArray>

#include <thread>

int main() {
    static char buffer[1 << 12];
    std::thread writer([] {
        for (int round = 0; round < 200; ++round)
            for (char& byte : buffer) byte = char(round);
    });
    qsizetype zeros = 0;
    for (int round = 0; round < 200; ++round) zeros += QByteArray(buffer, sizeof buffer).count('\0');
    writer.join();
    return zeros < 0;
}
