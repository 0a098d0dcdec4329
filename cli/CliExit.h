#pragma once
// The exit codes of rq7cli, in one table that --help (and every list of them) is made from.

#include <array>

enum TCliExit : int {
    kExitDone = 0,
    kExitUsage = 1,
    kExitPort = 2,
    kExitNoAnswer = 3,
    kExitMismatch = 4,
    kExitBadData = 5,
    kExitPassword = 6,
    kExitChecksum = 7,
    kExitIncomplete = 8,
    kExitUnverified = 9,
    kExitHistory = 10,
    kExitDifferent = 11,
    kExitStopped = 130, // as a shell reports a program stopped by Ctrl+C
};

struct TCliExitRow {
    TCliExit Code;
    const char* Meaning; // as --help says it (UTF-8); a new line in it continues the meaning below
    const char* Action;  // what a factory line does next
    // The same in English, for the manual page and the README (scripts/cli-docs.py puts them there).
    const char* MeaningEnglish;
    const char* ActionEnglish;
};

// The one table of exit codes: --help lists it, and scripts/cli-docs.py writes it into the manual
// page and the README (a test checks that they agree).
inline constexpr std::array<TCliExitRow, 13> kCliExitTable = {{
    {kExitDone, "выполнено (и проверено чтением, если не указан --no-verify)", "следующий адаптер",
     "done (and verified by reading back, unless --no-verify)", "next adapter"},
    {kExitUsage, "неверное использование", "исправить команду", "wrong usage", "correct the command"},
    {kExitPort, "порт не открывается или потерян до первого запроса записи", "проверить кабель",
     "the port cannot be opened, or was lost before any write request was sent", "check the cable"},
    {kExitNoAnswer,
     "адаптер не ответил или отказал после повторов (\"Нет ответа\", \"Сбой!\"),\nзапросов записи не было",
     "повторить",
     "the adapter did not answer or refused after the retries (\"Нет ответа\", \"Сбой!\"), and no write "
     "request was sent",
     "retry"},
    {kExitMismatch, "прочитанное после записи отличается от записанного (после повторного\nчтения)",
     "забраковать адаптер", "read back differently, after a differing slot was read again",
     "reject the adapter"},
    {kExitBadData, "неверный файл или значение", "исправить файл или значение", "a bad file or value",
     "correct the file or value"},
    {kExitPassword, "неверный пароль", "ввести верный пароль", "a wrong password", "type the right password"},
    {kExitChecksum,
     "неверная контрольная сумма прочитанного блока (\"Ошибка кс\"; значения выведены,\nфайл --output не "
     "записан, границы не записаны)",
     "записать блок из файла (write)",
     "the block read has a wrong checksum (\"Ошибка кс\"): the values are printed, --output writes no file, "
     "limits writes nothing unless it completes a write of its own that was cut off",
     "write the block from a file (rq7cli write)"},
    {kExitIncomplete, "запрос записи ушёл, а блок не дописан (часть слотов новые или не известны)",
     "выполнить ту же команду ещё раз",
     "a write request went out and the block was not completed (some slots new or not known; the report "
     "names them)",
     "run the same command again"},
    {kExitUnverified,
     "записано полностью (все 16 слотов подтверждены), но не проверено (чтение\nне удалось или пропущено "
     "из-за остановки)",
     "проверить: rq7cli read",
     "written completely (all 16 slots confirmed), but not verified (the read-back failed or was skipped by "
     "a stop)",
     "check with rq7cli read"},
    {kExitHistory,
     "журнал недоступен (не открывается или не пишется: запросов записи не было) или\nне прошёл проверку "
     "(history --check)",
     "исправить журнал или указать --no-history",
     "the service record cannot be opened or written (no write request was sent), or failed its check "
     "(history --check)",
     "mend the record's file, or run with --no-history"},
    {kExitDifferent, "блок адаптера отличается от файла или записи (compare)", "записать нужный блок",
     "the adapter's block differs from the file or record (compare)", "write the right block"},
    {kExitStopped, "остановлено (Ctrl+C) до первого запроса записи", "ничего не делать",
     "stopped (Ctrl+C) before any write request was sent", "nothing to do"},
}};
