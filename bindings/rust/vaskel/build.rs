//! Finds the vaskel producer library: in VASKEL_PRODUCER_LIB_DIR when set (a build tree or an
//! installed `lib/`), else through `pkg-config vaskel-producer`. No crates: pkg-config is run
//! as a program.
use std::env;
use std::process::Command;

fn main() {
    println!("cargo:rerun-if-env-changed=VASKEL_PRODUCER_LIB_DIR");
    println!("cargo:rerun-if-env-changed=PKG_CONFIG_PATH");
    if let Some(dir) = env::var_os("VASKEL_PRODUCER_LIB_DIR") {
        println!("cargo:rustc-link-search=native={}", dir.to_string_lossy());
        println!("cargo:rustc-link-lib=dylib=vaskel_producer");
        return;
    }
    let output = Command::new("pkg-config")
        .args(["--libs", "vaskel-producer"])
        .output();
    let flags = match output {
        Ok(output) if output.status.success() => {
            String::from_utf8_lossy(&output.stdout).into_owned()
        }
        Ok(output) => fail(&String::from_utf8_lossy(&output.stderr)),
        Err(error) => fail(&format!("cannot run pkg-config: {}", error)),
    };
    let mut linked = false;
    for flag in flags.split_whitespace() {
        if let Some(dir) = flag.strip_prefix("-L") {
            println!("cargo:rustc-link-search=native={}", dir);
        } else if let Some(library) = flag.strip_prefix("-l") {
            println!("cargo:rustc-link-lib={}", library);
            linked |= library == "vaskel_producer";
        }
    }
    if !linked {
        fail("pkg-config vaskel-producer does not name the library");
    }
}

fn fail(why: &str) -> ! {
    panic!(
        "the vaskel producer library was not found ({}); set VASKEL_PRODUCER_LIB_DIR to the \
         directory that holds it, or PKG_CONFIG_PATH to the directory of vaskel-producer.pc",
        why.trim()
    );
}
