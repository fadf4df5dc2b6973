/*
 * A second reader of the parser's grammar for differential fuzzing: one
 * getc per character, no window, no runs, no pooled names. It records
 * every event as text, so the fuzz target can require the library's
 * parser to deliver the same events, return the same result and leave
 * the stream at the same place.
 */
#ifndef TANDEL_FUZZ_REFERENCE_PARSER_H
#define TANDEL_FUZZ_REFERENCE_PARSER_H

#include <cstdio>
#include <string>
#include <vector>

namespace reference {

struct Parse {
    FILE *fp;
    int maxDepth;
    int stopAt;   /* event number at which to stop, -1 never */
    int stopWith; /* 1 or a negative result */
    std::string log;
    std::vector<std::string> open;
    int events = 0;
    int c = 0;
    std::string elName;

    Parse(FILE *f, int depthLimit, int stopEvent, int stopResult)
        : fp(f), maxDepth(depthLimit), stopAt(stopEvent), stopWith(stopResult)
    {}

    static bool blank(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    static bool nameChar(int c)
    {
        return c != EOF && !blank(c) && c != '<' && c != '>' && c != '=' && c != '/' && c != '!';
    }
    void read() { c = getc(fp); }
    void pastBlanks()
    {
        do
            read();
        while (blank(c));
    }
    /* 0 to go on, else the parse result. */
    int event(int mode, const std::string &el, const char *attr, const std::string *value)
    {
        /* the library's texts are C strings: a NUL byte ends them */
        log += std::to_string(mode) + "|" + el.c_str() + "|" + (attr ? attr : "-") + "|" +
               (value ? value->c_str() : "-") + "\n";
        return events++ == stopAt ? stopWith : 0;
    }
    /* false when more than `limit` characters would be stored */
    bool collect(std::string &out, size_t limit, bool (*more)(int, int), int stop)
    {
        out.clear();
        while (more(c, stop)) {
            if (out.size() == limit)
                return false;
            out += static_cast<char>(c);
            read();
        }
        return true;
    }
    static bool inName(int c, int) { return nameChar(c); }
    static bool before(int c, int stop) { return c != stop && c != EOF; }

    int skipComment()
    {
        pastBlanks();
        if (c != '-')
            return -2;
        pastBlanks();
        if (c != '-')
            return -2;
        pastBlanks();
        for (int dashes = 0;;) {
            if (c == EOF)
                return -14;
            if (c == '-') {
                ++dashes;
                pastBlanks();
            }
            if (dashes >= 2 && c == '>')
                return 0;
            if (c != '-') {
                pastBlanks();
                dashes = 0;
            }
        }
    }
    void skipInstruction()
    {
        pastBlanks();
        while (c != '?' && c != EOF) {
            pastBlanks();
            if (c == '?') {
                pastBlanks();
                if (c == '>')
                    return;
            }
        }
    }
    int startTag()
    {
        if (static_cast<int>(open.size()) > maxDepth)
            return -8;
        if (!collect(elName, 125, inName, 0))
            return -10;
        if (c == EOF)
            return -14;
        if (blank(c))
            pastBlanks();
        open.push_back(elName);
        if (int r = event(0, elName, nullptr, nullptr))
            return r;
        std::string attr, value;
        while (nameChar(c)) {
            if (!collect(attr, 125, inName, 0))
                return -11;
            if (c == EOF)
                return -14;
            if (blank(c))
                pastBlanks();
            if (c != '=')
                continue;
            pastBlanks();
            if (c != '"' && c != '\'')
                continue;
            int quote = c;
            read();
            if (!collect(value, 8189, before, quote))
                return -12;
            if (c == EOF)
                return -14;
            pastBlanks();
            if (int r = event(2, elName, attr.c_str(), &value))
                return r;
        }
        return 0;
    }
    int run()
    {
        pastBlanks();
        for (;;) {
            int slashes = 0;
            if (c != '<')
                return -2;
            pastBlanks();
            if (c == '!') {
                if (int r = skipComment())
                    return r;
            } else if (c == '?') {
                skipInstruction();
                if (c == EOF)
                    return -14;
            } else if (c == '/') {
                ++slashes;
                pastBlanks();
            }
            if (nameChar(c) && slashes == 0) {
                if (int r = startTag())
                    return r;
            } else if (nameChar(c)) {
                while (nameChar(c))
                    read();
                if (c == EOF)
                    return -14;
                if (blank(c))
                    pastBlanks();
            }
            if (c == '/') {
                ++slashes;
                pastBlanks();
            }
            if (c == EOF)
                return -14;
            if (c == '>') {
                pastBlanks();
                if (slashes > 0) {
                    if (open.empty())
                        return -2;
                    if (int r = event(3, open.back(), nullptr, nullptr))
                        return r;
                    open.pop_back();
                } else if (c != '<' && c != EOF) {
                    std::string text;
                    if (!collect(text, 8189, before, '<')) {
                        while (blank(c)) /* trailing blanks do not count */
                            read();
                        if (c != '<' && c != EOF)
                            return -13;
                    }
                    if (c == EOF)
                        return open.empty() ? -14 : -9;
                    while (!text.empty() && blank(static_cast<unsigned char>(text.back())))
                        text.pop_back();
                    if (int r = event(1, elName, nullptr, &text))
                        return r;
                }
            }
            if (feof(fp))
                return open.empty() ? 0 : -9;
        }
    }
};

} // namespace reference

#endif
