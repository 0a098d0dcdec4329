// Appends COUNT write records of adapter FACTORY to the store at PATH, one at a time, as a program of
// its own: the store tests run two at once to see that concurrent writers lose nothing.
// Usage: record_append_helper PATH FACTORY COUNT

#include <cstdio>
#include <string>

#include "record/RecordStore.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: record_append_helper PATH FACTORY COUNT\n");
        return 2;
    }
    try {
        TRecordStore store(argv[1]);
        const long long factory = std::stoll(argv[2]);
        const int count = std::stoi(argv[3]);
        for (int i = 0; i < count; ++i) {
            TServiceRecord record = NewRecord(TRecordOperation::Write, "rq7cli 0.1.0", "/dev/ttyUSB0");
            record.FactoryNumber = factory;
            record.Outcome = {i, "write " + std::to_string(i)};
            store.Append(record);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
