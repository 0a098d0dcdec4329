#pragma once
// The exit codes of rq7cli, in one table that --help (and every list of them) is made from.

#include <array>

enum TCliExit : int {
    kExitDone = 0,
    kExitUsage = 1,     // wrong usage
    kExitPort = 2,      // the port cannot be opened
    kExitNoAnswer = 3,  // the adapter did not answer or refused after the retries
    kExitMismatch = 4,  // the read-back differs from what was written
    kExitBadData = 5,   // a bad file or value
    kExitPassword = 6,  // a wrong password
    kExitChecksum = 7,  // the block read has a wrong checksum
    kExitStopped = 130, // stopped by Ctrl+C, as a shell reports a program it interrupted
};

struct TCliExitRow {
    TCliExit Code;
    const char* Meaning; // as --help says it (UTF-8, lines after the first indented by the help)
};

inline constexpr std::array<TCliExitRow, 9> kCliExitTable = {{
    {kExitDone, "выполнено"},
    {kExitUsage, "неверное использование"},
    {kExitPort, "порт не открывается"},
    {kExitNoAnswer, "адаптер не ответил или отказал после повторов (\"Нет ответа\", \"Сбой!\")"},
    {kExitMismatch, "прочитанное после записи отличается от записанного"},
    {kExitBadData, "неверный файл или значение"},
    {kExitPassword, "неверный пароль"},
    {kExitChecksum, "неверная контрольная сумма прочитанного блока (\"Ошибка кс\"; значения выведены,\n"
                    "файл --output не записан)"},
    {kExitStopped, "прервано Ctrl+C (при записи: после записываемого слота)"},
}};
