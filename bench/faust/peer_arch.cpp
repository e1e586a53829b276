// Architecture of the benchmark's Faust peers: the generated class, registered under the job the build names
// (ER_FAUST_KIND, ER_FAUST_VARIANT, ER_FAUST_MAXDELAY).
#include <memory>

#include <faust/dsp/dsp.h>
#include <faust/gui/UI.h>
#include <faust/gui/meta.h>

#include "Peers.h"

<< includeIntrinsic >>

    << includeclass >>

    namespace {
    const bool registered = er_bench::RegisterFaustPeer(
        static_cast<er_bench::Kind>(ER_FAUST_KIND), static_cast<er_bench::Variant>(ER_FAUST_VARIANT),
        ER_FAUST_MAXDELAY, [] { return std::unique_ptr<dsp>(new mydsp()); });
}  // namespace
