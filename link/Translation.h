#pragma once
// The switch of the adapter into byte-by-byte translation ("Доп.режим").

class TModbusExchange;

// Writes 1 to the translation register and collects the answer until the line is quiet (or the stop
// event). True when the adapter answered with a sound reply (an exception reply counts as an answer).
// Bytes left waiting from an earlier exchange are no answer. The caller holds the exchange.
bool SwitchToByteTranslation(TModbusExchange& exchange);
