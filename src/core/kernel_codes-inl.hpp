// kernel_codes-inl.hpp: what the coded tiles share: coding a block's rows a register at a time, and choosing the tile's build by its count of queries.
//
// Included by each kernel_codes_<level>.cpp inside its anonymous namespace,
// after TESSARAY_CODES_TARGET.  code_blocks_generic and CodedRowSide take
// a CodeIsa of the level's registers (the AVX-512 tile, with its mask
// registers, has its own); bound_codes_generic calls the including file's
// bound_codes_fixed<Count, Filtered>, declared here.
#ifndef TESSARAY_CODES_TARGET
#error "kernel_codes-inl.hpp needs TESSARAY_CODES_TARGET from the including file"
#endif

// The codes of the rows of `nblocks` blocks of the store's layout, in the
// tile's (kernel.hpp's CodedRows), one register of rows at a time (more
// would not fit sixteen registers), each row's to at most
// CodeIsa::kRowCodeMax.
template <class CodeIsa>
TESSARAY_CODES_TARGET void code_blocks_generic(const float* blocks, const float* roots, std::size_t dim,
                                               std::size_t nblocks, const CodedRows& out) {
    using Vec = typename CodeIsa::Vec;
    using Int = typename CodeIsa::Int;
    constexpr std::size_t kIsaLanes = CodeIsa::kLanes;
    const std::size_t groups = code_groups(dim);
    const Vec low = CodeIsa::broadcast(kBoundRootLow);
    const Vec high = CodeIsa::broadcast(kBoundRootHigh);
    const float n = static_cast<float>(dim);
    // The norms' squares are summed with steps rounded once or twice each:
    // at most (n + 1) u of them lost, which 2 n u covers (with what
    // underflow lost, for the errors).  Each error is within
    // (kRowCodeMax + 0.01) u of the rounded part.  `up` covers the
    // roundings of the last few steps many times over.
    const Vec lost = CodeIsa::broadcast(1.0f + 2.0f * n * 0x1p-24f);
    const Vec underflow = CodeIsa::broadcast(n * 0x1p-100f);
    const Vec drift = CodeIsa::broadcast(std::sqrt(n) * (CodeIsa::kRowCodeMax + 0.01f) * 0x1p-24f);
    const Vec up = CodeIsa::broadcast(1.0f + 0x1p-16f);
    for (std::size_t b = 0; b < nblocks; ++b) {
        const float* block = blocks + b * dim * kBlockRows;
        std::int8_t* codes = out.codes + b * groups * kBlockRows * 4;
        std::uint64_t odd = 0;
        for (std::size_t r = 0; r < kBlockRows / kIsaLanes; ++r) {
            const float* rows = block + r * kIsaLanes;
            Vec top = CodeIsa::zero();
            for (std::size_t i = 0; i < dim; ++i)
                top = CodeIsa::max(top, CodeIsa::abs(CodeIsa::load(rows + i * kBlockRows)));
            // A root in the bound's range makes every element finite and the
            // largest at least root / sqrt(dim): the scale is a number.  The
            // other rows are coded as zeros and always marked.
            const std::size_t first = b * kBlockRows + r * kIsaLanes;
            const Vec root = CodeIsa::load(roots + first);
            const Vec coded = CodeIsa::within(root, low, high);
            odd |= (~CodeIsa::lanes(coded) & ((std::uint64_t{1} << kIsaLanes) - 1)) << (r * kIsaLanes);
            const Vec scale = CodeIsa::where(coded, CodeIsa::div(CodeIsa::broadcast(CodeIsa::kRowCodeMax), top));
            CodeIsa::store(out.weights + first, CodeIsa::mul(root, scale));
            Int sum = CodeIsa::zero_int();
            Vec squares = CodeIsa::zero();
            Vec errors = CodeIsa::zero();
            for (std::size_t g = 0; g < groups; ++g) {
                Int packed = CodeIsa::zero_int();
                for (std::size_t e = 0; e < 4 && g * 4 + e < dim; ++e) {
                    const Vec x = CodeIsa::mul(CodeIsa::load(rows + (g * 4 + e) * kBlockRows), scale);
                    const Int code = CodeIsa::code(x);
                    const Vec exact = CodeIsa::to_float(code);
                    const Vec error = CodeIsa::sub(x, exact);
                    errors = CodeIsa::multiply_add(error, error, errors);
                    squares = CodeIsa::multiply_add(exact, exact, squares);
                    sum = CodeIsa::add_int(sum, code);
                    packed = CodeIsa::pack_byte(packed, code, e);
                }
                CodeIsa::store_int(codes + (g * kBlockRows + r * kIsaLanes) * 4, packed);
            }
            CodeIsa::store(out.offsets + first, CodeIsa::mul(CodeIsa::to_float(sum), CodeIsa::broadcast(128.0f)));
            const Vec error =
                CodeIsa::mul(CodeIsa::add(CodeIsa::sqrt(CodeIsa::multiply_add(errors, lost, underflow)), drift), up);
            const Vec span = CodeIsa::mul(CodeIsa::add(CodeIsa::sqrt(CodeIsa::mul(squares, lost)), error), up);
            CodeIsa::store(out.errors + first, error);
            CodeIsa::store(out.spans + first, span);
        }
        out.always[b] = odd;
    }
}

// The tile of `Count` queries, as BoundCodesFn (kernel.hpp) with every row
// allowed unless `Filtered`.
template <std::size_t Count, bool Filtered>
TESSARAY_CODES_TARGET void bound_codes_fixed(const CodedQuery* queries, const CodedRows& rows, std::size_t dim,
                                             std::size_t nblocks, const std::uint64_t* allowed, std::uint64_t* hits);

// A register of coded rows' side of the test (score_bound.hpp), loaded once
// for all of a tile's queries.
template <class CodeIsa>
struct CodedRowSide {
    using Vec = typename CodeIsa::Vec;
    Vec weight, offset, error, span;

    TESSARAY_CODES_TARGET CodedRowSide(const CodedRows& rows, std::size_t first)
            : weight(CodeIsa::load(rows.weights + first)),
              offset(CodeIsa::load(rows.offsets + first)),
              error(CodeIsa::load(rows.errors + first)),
              span(CodeIsa::load(rows.spans + first)) {}

    // Bit j set when lane j's integer sum (with the query's codes plus 128)
    // cannot rule its row out for query q; NaN passes.
    TESSARAY_CODES_TARGET std::uint64_t kept(const CodedQuery& q, typename CodeIsa::Int sums) const {
        Vec bar = CodeIsa::multiply_add(CodeIsa::broadcast(q.limit), weight, offset);
        bar = CodeIsa::multiply_subtract(bar, CodeIsa::broadcast(q.norm), error);
        bar = CodeIsa::multiply_subtract(bar, CodeIsa::broadcast(q.error), span);
        bar = CodeIsa::sub(bar, CodeIsa::broadcast(q.room));
        return CodeIsa::lanes(CodeIsa::not_below(CodeIsa::to_float(sums), bar));
    }
};

template <bool Filtered, std::size_t... Counts>
TESSARAY_CODES_TARGET void bound_codes_any(std::index_sequence<Counts...>, const CodedQuery* queries, std::size_t count,
                                           const CodedRows& rows, std::size_t dim, std::size_t nblocks,
                                           const std::uint64_t* allowed, std::uint64_t* hits) {
    ((count == Counts + 1 ? bound_codes_fixed<Counts + 1, Filtered>(queries, rows, dim, nblocks, allowed, hits)
                          : void()),
     ...);
}

// The BoundCodesFn: unfiltered tiles have a build of their own.
TESSARAY_CODES_TARGET void bound_codes_generic(const CodedQuery* queries, std::size_t count, const CodedRows& rows,
                                               std::size_t dim, std::size_t nblocks, const std::uint64_t* allowed,
                                               std::uint64_t* hits) {
    constexpr auto counts = std::make_index_sequence<kCodeTileQueries>();
    if (allowed != nullptr) {
        bound_codes_any<true>(counts, queries, count, rows, dim, nblocks, allowed, hits);
    } else {
        bound_codes_any<false>(counts, queries, count, rows, dim, nblocks, allowed, hits);
    }
}
