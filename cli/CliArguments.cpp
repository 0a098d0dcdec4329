#include "cli/CliArguments.h"

#include <QCommandLineParser>
#include <QStringList>

#include <utility>

#include "cli/CliExit.h"

namespace {

QCommandLineOption ValueOption(const char* name, const char* valueName) {
    return QCommandLineOption(QString::fromLatin1(name), QString(), QString::fromUtf8(valueName));
}

struct TOptionSet {
    QCommandLineParser Parser;
    QCommandLineOption Help{QStringList{QStringLiteral("h"), QStringLiteral("help")}};
    QCommandLineOption Port = ValueOption("port", "ИМЯ");
    QCommandLineOption Trace{QStringLiteral("trace")};
    QCommandLineOption Json{QStringLiteral("json")};
    QCommandLineOption Output = ValueOption("output", "ФАЙЛ");
    QCommandLineOption NoVerify{QStringLiteral("no-verify")};
    QCommandLineOption Address = ValueOption("address", "N");
    std::array<QCommandLineOption, 3> Channels = {
        ValueOption("ch1", "ВЕРХ,НИЗ"), ValueOption("ch2", "ВЕРХ,НИЗ"), ValueOption("ch3", "ВЕРХ,НИЗ")};

    TOptionSet() {
        Parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        Parser.addOptions(
            {Help, Port, Trace, Json, Output, NoVerify, Address, Channels[0], Channels[1], Channels[2]});
    }
};

// The command and its file from the positional arguments; an error text when they do not fit.
std::string TakeCommand(const QStringList& positional, TCommandLine& line) {
    if (positional.isEmpty()) {
        return "не указана команда";
    }
    line.Command = positional[0].toStdString();
    const bool write = line.Command == "write";
    if (!write && line.Command != "read" && line.Command != "limits" && line.Command != "ports" &&
        line.Command != "translate") {
        return "неизвестная команда: " + line.Command;
    }
    if (write && positional.size() < 2) {
        return "команде write нужен файл";
    }
    if (positional.size() > (write ? 2 : 1)) {
        return "лишний аргумент: " + positional.last().toStdString();
    }
    if (write) {
        line.File = positional[1].toStdString();
    }
    return {};
}

// An error text when an option is given to a command it means nothing to.
std::string CheckOptionsFit(const TOptionSet& options, const std::string& command) {
    const bool read = command == "read";
    const bool changes = command == "write" || command == "limits";
    const bool limits = command == "limits";
    const std::array<std::pair<const QCommandLineOption*, bool>, 7> fits = {{
        {&options.Json, read},
        {&options.Output, read},
        {&options.NoVerify, changes},
        {&options.Address, limits},
        {&options.Channels[0], limits},
        {&options.Channels[1], limits},
        {&options.Channels[2], limits},
    }};
    for (const auto& [option, allowed] : fits) {
        if (!allowed && options.Parser.isSet(*option)) {
            return "параметр --" + option->names().constLast().toStdString() + " не подходит к команде " +
                   command;
        }
    }
    return {};
}

void TakeValues(const TOptionSet& options, TCommandLine& line) {
    const QCommandLineParser& parser = options.Parser;
    if (parser.isSet(options.Port)) {
        line.Port = parser.value(options.Port).toStdString();
    }
    line.Trace = parser.isSet(options.Trace);
    line.Json = parser.isSet(options.Json);
    line.Output = parser.value(options.Output).toStdString();
    line.NoVerify = parser.isSet(options.NoVerify);
    if (parser.isSet(options.Address)) {
        line.Address = parser.value(options.Address).toStdString();
    }
    for (std::size_t c = 0; c < options.Channels.size(); ++c) {
        if (parser.isSet(options.Channels[c])) {
            line.Channels[c] = parser.value(options.Channels[c]).toStdString();
        }
    }
}

// The exit codes as --help lists them, from the one table.
std::string ExitCodeLines() {
    std::string lines;
    for (const TCliExitRow& row : kCliExitTable) {
        std::string code = std::to_string(static_cast<int>(row.Code));
        code.resize(5, ' ');
        std::string meaning = row.Meaning;
        for (std::size_t at = meaning.find('\n'); at != std::string::npos; at = meaning.find('\n', at + 1)) {
            meaning.insert(at + 1, "       ");
        }
        lines += "  " + code + meaning + "\n       дальше: " + row.Action + "\n";
    }
    return lines;
}

} // namespace

TParsed Parse(const std::vector<std::string>& args) {
    TOptionSet options;
    QStringList arguments;
    for (const std::string& arg : args) {
        arguments << QString::fromStdString(arg);
    }
    if (arguments.isEmpty()) {
        arguments << QStringLiteral("rq7cli");
    }
    TParsed parsed;
    if (!options.Parser.parse(arguments)) {
        parsed.Error = options.Parser.errorText().toStdString();
        return parsed;
    }
    if (options.Parser.isSet(options.Help)) {
        parsed.Help = true;
        return parsed;
    }
    TCommandLine line;
    parsed.Error = TakeCommand(options.Parser.positionalArguments(), line);
    if (parsed.Error.empty()) {
        parsed.Error = CheckOptionsFit(options, line.Command);
    }
    if (parsed.Error.empty()) {
        TakeValues(options, line);
        parsed.Line = line;
    }
    return parsed;
}

std::string Rq7CliHelp() {
    return "Использование: rq7cli КОМАНДА [ПАРАМЕТРЫ]\n"
           "Адаптер RQ7 из командной строки.\n"
           "\n"
           "Команды:\n"
           "  ports                     порты компьютера, по одному имени в строке\n"
           "  read [--json] [--output ФАЙЛ]\n"
           "                            чтение коэффициентов и проверка контрольной суммы;\n"
           "                            --json: один объект JSON, --output: файл коэффициентов\n"
           "  write ФАЙЛ [--no-verify]  запись коэффициентов из файла с текущей датой и проверка\n"
           "                            чтением (нужны оба пароля)\n"
           "  limits [--address N] [--ch1 ВЕРХ,НИЗ] [--ch2 ВЕРХ,НИЗ] [--ch3 ВЕРХ,НИЗ] [--no-verify]\n"
           "                            изменение границ параметров каналов (при 20 и 4 мА) и\n"
           "                            адреса (нужен первый пароль)\n"
           "  translate                 перевод адаптера в режим побайтовой трансляции\n"
           "\n"
           "Параметры любой команды:\n"
           "  --port ИМЯ                порт адаптера, как в \"Настройка порта\" (по умолчанию COM1)\n"
           "  --trace                   каждый кадр и ответ в шестнадцатеричном виде с миллисекундами\n"
           "                            от начала, в стандартный поток ошибок\n"
           "  -h, --help                эта справка\n"
           "\n"
           "Пароли спрашиваются на терминале без эха; если стандартный ввод не терминал, они\n"
           "читаются из него по одному в строке, в порядке запроса. Неверный пароль: ничего не\n"
           "отправляется.\n"
           "\n"
           "Остановка (Ctrl+C, SIGTERM, SIGHUP, закрытый стандартный вывод или поток ошибок): до\n"
           "первого запроса записи ничего больше не отправляется (код 130); после него блок\n"
           "дописывается до конца (около 3 с, до 6 с при повторах), проверка чтением пропускается\n"
           "(код 9, или 8 если блок не дописан). Второй Ctrl+C прерывает запись сразу.\n"
           "\n"
           "Коды завершения:\n" +
           ExitCodeLines();
}
