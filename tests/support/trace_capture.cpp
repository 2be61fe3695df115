#include "trace_capture.h"

#include <algorithm>
#include <cstdlib>

#include "api/module.h"
#include "trace/trace_scope.h"

void MemorySink::text(const char *line, TraceSinkRegistry *) {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.emplace_back(line);
}

void MemorySink::event(const TraceEvent *event, TraceSinkRegistry *) {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.emplace_back(event && event->text ? event->text : "");
}

std::vector<std::string> MemorySink::lines() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
}

void MemorySink::clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.clear();
}

bool TraceLine::parse(const std::string &line) {
    // ;Deltatime;Level;<marker>Depth;ThreadID;Message
    if (line.empty() || line[0] != ';') return false;
    std::vector<std::string> fields;
    size_t pos = 1;
    for (int i = 0; i < 4; ++i) {
        size_t next = line.find(';', pos);
        if (next == std::string::npos) return false;
        fields.push_back(line.substr(pos, next - pos));
        pos = next + 1;
    }
    message = line.substr(pos);
    deltatime = fields[0];
    level = fields[1];
    if (fields[2].empty()) return false;
    marker = fields[2][0];
    std::string d = fields[2].substr(1);
    d.erase(0, d.find_first_not_of('_'));
    depth = std::atoi(d.c_str());
    threadId = static_cast<unsigned>(std::strtoul(fields[3].c_str(), nullptr, 10));
    size_t sep = message.find(" : ");
    text = (marker == '|' && sep != std::string::npos) ? message.substr(sep + 3) : std::string();
    return true;
}

TraceCapture::TraceCapture(int verbosity) : previous_(m_pTracer) {
    tracer_.addCategories(kTraceCategory);
    if (verbosity >= 1) tracer_.addLevels(TL_FATALERROR | TL_ERROR | TL_INFO);
    if (verbosity >= 2) tracer_.addLevels(TL_WARNING | TL_INFO | TL_MODULE | TL_FUNCTION);
    tracer_.setMaxDepth(10);
    tracer_.attach(&sink_);
    m_pTracer = &tracer_;
}

TraceCapture::~TraceCapture() {
    m_pTracer = previous_;
    tracer_.detach(&sink_);
}

std::vector<std::string> TraceCapture::messages() const {
    std::vector<std::string> out;
    for (const auto &l : lines()) {
        TraceLine t;
        if (t.parse(l) && t.marker == '|') out.push_back(t.text);
    }
    return out;
}

std::vector<std::string> TraceCapture::columns() const {
    std::vector<std::string> out;
    for (const auto &l : lines()) {
        TraceLine t;
        if (t.parse(l)) out.push_back(t.message);
    }
    return out;
}

bool TraceCapture::hasMessage(const std::string &text) const {
    auto m = messages();
    return std::find(m.begin(), m.end(), text) != m.end();
}
