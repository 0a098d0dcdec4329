#include "cli/CliCommandTable.h"

#include "cli/CliCommands.h"

const std::vector<TCliOption>& CliOptions() {
    static const std::vector<TCliOption> options = {
        {"port", "ИМЯ", "NAME",
         "порт адаптера: имя, как в \"Настройка порта\" (COM1, ttyUSB0),\n"
         "постоянное имя /dev/serial/by-id/... или usb:СЕРИЙНЫЙ_НОМЕР кабеля;\n"
         "без него порт из RQ7_PORT, иначе COM1"},
        {"trace", nullptr, nullptr,
         "каждый кадр и ответ в шестнадцатеричном виде с миллисекундами\n"
         "от начала, в стандартный поток ошибок (отброшенные перед\n"
         "запросом байты помечены discarded)"},
        {"help", nullptr, nullptr, "справка; rq7cli КОМАНДА --help: справка по команде"},
        {"json", nullptr, nullptr, "вывод одним объектом JSON (ports: порты с данными USB)"},
        {"output", "ФАЙЛ", "FILE",
         "файл коэффициентов, как его сохраняет окно; \"-\": в стандартный\n"
         "вывод (таблица тогда в стандартный поток ошибок)"},
        {"no-verify", nullptr, nullptr, "без проверки записанного чтением"},
        {"address", "N", "N", "новый адрес обращения, от 0 до 255"},
        {"ch1", "ВЕРХ,НИЗ", "HIGH,LOW", "значения канала 1 при 20 и 4 мА (дробная часть через точку)"},
        {"ch2", "ВЕРХ,НИЗ", "HIGH,LOW", "значения канала 2 при 20 и 4 мА"},
        {"ch3", "ВЕРХ,НИЗ", "HIGH,LOW", "значения канала 3 при 20 и 4 мА"},
        {"history", "ФАЙЛ", "FILE",
         "журнал (файл SQLite); без него RQ7_HISTORY, иначе\n"
         "rq7-history.sqlite в папке данных пользователя"},
        {"no-history", nullptr, nullptr,
         "без журнала: ничего не записывается в журнал, блок перед\n"
         "записью не читается"},
        {"technician", "ИМЯ", "NAME", "имя техника для журнала (без него RQ7_TECHNICIAN)"},
        {"factory-number", "N", "N", "заводской номер адаптера (0101001 и 101001 одно и то же)"},
        {"since", "ГГГГ-ММ-ДД", "YYYY-MM-DD", "записи с этой даты"},
        {"csv", nullptr, nullptr, "вывод таблицей CSV (UTF-8, разделитель запятая)"},
        {"check", nullptr, nullptr, "проверка цепочки записей журнала (изменённые и удалённые)"},
        {"pdf", "ФАЙЛ", "FILE", "протокол в PDF"},
        {"html", "ФАЙЛ", "FILE", "протокол в HTML (один файл)"},
        {"as-found", nullptr, nullptr, "блок записи \"как найден\" (прочитанный до записи)"},
        {"as-left", nullptr, nullptr, "блок записи \"как оставлен\" (отправленный записью)"},
        {"other-adapter", nullptr, nullptr,
         "разрешить восстановление в адаптер с другим заводским номером\n"
         "или без номера (0 или все единицы)"},
        {"file", "ФАЙЛ", "FILE", "файл коэффициентов для сравнения"},
        {"record", "ID", "ID", "запись журнала для сравнения"},
    };
    return options;
}

const std::vector<const char*>& CommonCliOptions() {
    static const std::vector<const char*> common = {"port", "trace", "help"};
    return common;
}

const std::vector<TCliCommand>& CliCommands() {
    static const std::vector<TCliCommand> commands = {
        {"ports",
         "",
         "",
         "порты компьютера, по одному имени в строке",
         "the computer's ports, one name a line",
         "Порты, как их перечисляет \"Настройка порта\". С --json: для каждого порта имя, устройство\n"
         "и, для кабелей USB, постоянное имя, коды производителя и изделия, серийный номер и место\n"
         "подключения.",
         {"json"},
         "rq7cli ports --json",
         CommandPorts},
        {"read",
         "",
         "",
         "чтение коэффициентов и проверка контрольной суммы",
         "read the coefficient block and check its checksum",
         "Чтение, как в окне \"Технолог.режим\": запрос опознания с повтором, 16 слотов, проверка\n"
         "контрольной суммы блока. Выводит значения каналов, заводской номер, адрес и дату записи.",
         {"json", "output", "history", "no-history", "technician"},
         "rq7cli read --port ttyUSB0 --output 0101001.dat",
         CommandRead},
        {"write",
         "ФАЙЛ",
         "FILE",
         "запись коэффициентов из файла (нужны оба пароля)",
         "write the block from a coefficient file (both passwords)",
         "Блок строится из файла коэффициентов, как при записи в окне \"Технолог.режим\" (с текущей\n"
         "датой), и записывается в 16 слотов с повтором; затем читается обратно и сверяется байт\n"
         "в байт. Неверное значение: \"Проверьте данные\" с номером строки, ничего не отправляется.\n"
         "Перед записью блок читается (\"как найден\") и в журнал заносятся две записи: до первого\n"
         "запроса записи и с итогом.",
         {"no-verify", "history", "no-history", "technician"},
         "printf '%s\\n%s\\n' \"$ПАРОЛЬ1\" \"$ПАРОЛЬ2\" | rq7cli write 0101001.dat --port ttyUSB0",
         CommandWrite},
        {"limits",
         "",
         "",
         "изменение границ каналов и адреса (нужен первый пароль)",
         "change the channel limits and the address (first password)",
         "Изменение, как в окне \"Изм.границ пар-ров\": блок читается, меняются только названные\n"
         "границы (и адрес), остальные слоты записываются байтами, которые адаптер хранит; сначала\n"
         "регистр адреса, затем блок, затем проверка чтением. Если менять нечего, ничего не пишется.",
         {"address", "ch1", "ch2", "ch3", "no-verify", "history", "no-history", "technician"},
         "rq7cli limits --port ttyUSB0 --ch2 90,-45",
         CommandLimits},
        {"translate",
         "",
         "",
         "перевод адаптера в режим побайтовой трансляции",
         "switch the adapter into byte-by-byte translation",
         "Как \"Доп.режим\": запрос перевода и ответ адаптера (\"Адаптер переведен в режим побайтовой\n"
         "трансляции\" или \"Попробуйте повторить\").",
         {"history", "no-history", "technician"},
         "rq7cli translate --port ttyUSB0",
         CommandTranslate},
        {"history",
         "",
         "",
         "журнал: что находило каждое чтение и оставляла каждая запись",
         "the service record: what each read found and each write left",
         "Записи журнала, новые первыми: номер, время, операция, заводской номер, порт, техник,\n"
         "итог. Записи не изменяются и не удаляются; --check пересчитывает цепочку SHA-256 и\n"
         "находит запись, изменённую или удалённую в обход программы (код 10).",
         {"factory-number", "since", "json", "csv", "check", "history"},
         "rq7cli history --factory-number 0101001",
         CommandHistory,
         false},
        {"report",
         "ID",
         "ID",
         "протокол настройки адаптера по записи журнала (PDF, HTML)",
         "the adapter's set-up protocol of a record (PDF, HTML)",
         "\"Протокол настройки адаптера RQ7\" по записи ID (или по последней записи в адаптер с\n"
         "--factory-number: write, limits или restore): значения каналов как найдены и как\n"
         "оставлены, изменённые отмечены, контрольная сумма, проверка чтением, строки для подписей.\n"
         "Без --pdf и --html протокол выводится текстом.",
         {"factory-number", "pdf", "html", "history"},
         "rq7cli report 42 --pdf 0101001.pdf",
         CommandReport,
         false,
         true},
        {"restore",
         "ID",
         "ID",
         "запись в адаптер блока из журнала байт в байт (нужны оба пароля)",
         "write a recorded block back byte for byte (both passwords)",
         "Записывает 16 слотов записи ID (по умолчанию \"как найден\") байт в байт, с их датой записи\n"
         "и контрольной суммой; сначала регистр адреса, если адрес другой; затем проверка чтением.\n"
         "Блок с неверной контрольной суммой не записывается. Адаптер должен иметь заводской номер\n"
         "записи (как найден или как оставлен); другой или без номера: только с --other-adapter.\n"
         "Так же восстанавливается блок, оборванный при записи.",
         {"as-found", "as-left", "other-adapter", "history", "technician"},
         "rq7cli restore 42 --port ttyUSB0",
         CommandRestore},
        {"compare",
         "",
         "",
         "сравнение блока адаптера с файлом или записью журнала",
         "compare the adapter's block with a file or a record",
         "Читает блок и сравнивает его слот за слотом (значения и байты) с файлом коэффициентов\n"
         "(--file) или с записью журнала (--record; блок \"как оставлен\", если он есть, иначе \"как\n"
         "найден\"). Считаются слоты 1-13 и 15; 14 (дата записи) и 16 (контрольная сумма) показаны.",
         {"file", "record", "as-found", "as-left", "history"},
         "rq7cli compare --port ttyUSB0 --file 0101001.dat",
         CommandCompare},
    };
    return commands;
}

const TCliCommand* FindCliCommand(const std::string& name) {
    for (const TCliCommand& command : CliCommands()) {
        if (name == command.Name) {
            return &command;
        }
    }
    return nullptr;
}

const TCliOption* FindCliOption(const std::string& name) {
    for (const TCliOption& option : CliOptions()) {
        if (name == option.Name) {
            return &option;
        }
    }
    return nullptr;
}

std::string CliSynopsis(const TCliCommand& command) {
    std::string synopsis = std::string("rq7cli ") + command.Name;
    if (*command.Operand != '\0') {
        synopsis += command.OperandOptional ? std::string(" [") + command.Operand + "]"
                                            : std::string(" ") + command.Operand;
    }
    std::vector<const char*> names = command.Options;
    names.push_back("port");
    names.push_back("trace");
    for (const char* name : names) {
        const TCliOption* option = FindCliOption(name);
        synopsis += std::string(" [--") + name;
        if (option != nullptr && option->ValueName != nullptr) {
            synopsis += std::string(" ") + option->ValueName;
        }
        synopsis += "]";
    }
    return synopsis;
}
