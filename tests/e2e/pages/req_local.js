document.write('<p>LOCAL SCRIPT</p>');
