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
    kExitStopped = 130, // as a shell reports a program stopped by Ctrl+C
};

struct TCliExitRow {
    TCliExit Code;
    const char* Meaning; // UTF-8; a new line in it continues the meaning under the first
    const char* Action;  // what a factory line does next
};

// The one table of exit codes: --help lists it, and so do the manual page and the README.
inline constexpr std::array<TCliExitRow, 11> kCliExitTable = {{
    {kExitDone, "выполнено (и проверено чтением, если не указан --no-verify)", "следующий адаптер"},
    {kExitUsage, "неверное использование", "исправить команду"},
    {kExitPort, "порт не открывается или потерян до первого запроса записи", "проверить кабель"},
    {kExitNoAnswer,
     "адаптер не ответил или отказал после повторов (\"Нет ответа\", \"Сбой!\"),\nзапросов записи не было",
     "повторить"},
    {kExitMismatch, "прочитанное после записи отличается от записанного (после повторного\nчтения)",
     "забраковать адаптер"},
    {kExitBadData, "неверный файл или значение", "исправить файл или значение"},
    {kExitPassword, "неверный пароль", "ввести верный пароль"},
    {kExitChecksum,
     "неверная контрольная сумма прочитанного блока (\"Ошибка кс\"; значения выведены,\nфайл --output не "
     "записан, границы не записаны)",
     "записать блок из файла (write)"},
    {kExitIncomplete, "запрос записи ушёл, а блок не дописан (часть слотов новые или не известны)",
     "выполнить ту же команду ещё раз"},
    {kExitUnverified,
     "записано полностью (все 16 слотов подтверждены), но не проверено (чтение\nне удалось или пропущено "
     "из-за остановки)",
     "проверить: rq7cli read"},
    {kExitStopped, "остановлено (Ctrl+C) до первого запроса записи", "ничего не делать"},
}};
