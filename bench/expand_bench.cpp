// expand_template alone, on templates from a line to the largest an
// environment string can hold. Bytes per second should not fall as they grow.

#include "stamp/expand_template.hpp"

#include <benchmark/benchmark.h>

#include <string>

namespace {

pagestamp::stamp_facts reference_facts()
{
    pagestamp::file_status status;
    status.size = 2200;
    const std::time_t when = 1049296029;
    localtime_r(&when, &status.mtime);
    pagestamp::request_env env;
    env.server_name = "bench.example.org";
    env.document_root = "/srv/site";
    pagestamp::doc_location where;
    where.doc_dir = "/docs";
    where.doc_file = "index.shtml";
    return pagestamp::collect_stamp_facts(status, env, where);
}

std::string template_of(std::size_t size)
{
    const std::string line = "%WL,+%ML+%DM,+%Y4+%H1:%PM+%A3+(%SA)+%2F+%zz+";
    std::string text;
    while (text.size() < size) {
        text += line;
    }
    text.resize(size);
    return text;
}

void expand(benchmark::State& state)
{
    const pagestamp::stamp_facts facts = reference_facts();
    const std::string text = template_of(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        pagestamp::body_text body = pagestamp::expand_template(text, facts);
        benchmark::DoNotOptimize(body);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
    state.SetComplexityN(state.range(0));
}

} // namespace

// 36 bytes is the usual one-line stamp; 4 KiB fills the body; 128 KiB is the
// largest environment string Linux allows.
BENCHMARK(expand)->Arg(36)->Arg(4 * 1024)->Arg(32 * 1024)->Arg(128 * 1024)->Complexity(benchmark::oN);

BENCHMARK_MAIN();
