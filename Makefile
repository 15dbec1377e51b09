# The two commands a newcomer needs: `make run` and `make test`.
.PHONY: run test deps build-dev build-release bench format clean screenshots

deps:
	scripts/install-deps

build-release: deps
	cmake --preset release >/dev/null
	cmake --build --preset release

build-dev: deps
	cmake --preset dev >/dev/null
	cmake --build --preset dev

# With a display, the desktop application; without one, headless monitoring. Either way
# the bundled sample capture plays at its real pace into ~/.local/share/CV.
run: build-release
	@if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ]; then \
	  exec build/release/bin/corvane-monitor; \
	else \
	  echo "No display (DISPLAY or WAYLAND_DISPLAY): headless monitoring until Ctrl-C"; \
	  exec build/release/bin/corvane monitor; \
	fi

test: build-dev
	ctest --preset dev

bench: deps
	cmake --preset bench >/dev/null
	cmake --build --preset bench
	bench/run-all

# The control panel rendered offscreen in its main states, into build/screenshots/, and the
# dashboard with a row opened to its log lines, into build/screenshots/web/.
screenshots: build-dev
	cmake --build --preset dev --target screenshots web_screenshots

format:
	cmake --build --preset dev --target format

clean:
	rm -rf build
