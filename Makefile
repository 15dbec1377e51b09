# The two commands a newcomer needs: `make run` and `make test`.
.PHONY: run test deps build-dev build-release bench format clean

deps:
	scripts/install-deps

build-release: deps
	cmake --preset release >/dev/null
	cmake --build --preset release

build-dev: deps
	cmake --preset dev >/dev/null
	cmake --build --preset dev

# Headless monitoring of the bundled sample capture, played at its real pace,
# into ~/.local/share/CV until Ctrl-C.
run: build-release
	build/release/bin/corvane monitor

test: build-dev
	ctest --preset dev

bench: deps
	cmake --preset bench >/dev/null
	cmake --build --preset bench
	bench/run-all

format:
	cmake --build --preset dev --target format

clean:
	rm -rf build
